// SPDX-License-Identifier: MIT
// Deadlines on the steady clock, for waits that poll() with a time-out.
#ifndef SCANBRIDGE_TOOLS_COMMON_DEADLINE_H_
#define SCANBRIDGE_TOOLS_COMMON_DEADLINE_H_

#include <chrono>

namespace scanbridge::tools {

// Milliseconds left until deadline, as poll() takes them: 0 once it has
// passed, and never more than an int holds.
inline int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) return 0;
  if (left > 0x7FFFFFFF) return 0x7FFFFFFF;
  return static_cast<int>(left);
}

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_DEADLINE_H_
