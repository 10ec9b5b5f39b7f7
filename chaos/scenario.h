// SPDX-License-Identifier: MIT
// One chaos scenario: the real bridge in a thread of the harness, one to
// three hostile scanners, and a driver that opens devices, sends commands,
// scans and extended requests, and misbehaves itself (partial messages,
// stalls, disconnects, stop signals), checking after every step that:
//
// - every DATA or OPEN is done (its replies written, the ping behind it
//   answered) within one scanner time-out, one back-off pause and one
//   closing exchange, plus the margin, after the scanner last did anything;
// - every reply is well framed and belongs to the message it answers, and a
//   well-behaved exchange gets exactly its usual bytes;
// - a stop ends the bridge within the margin plus one closing exchange per
//   device (SIGHUP), or once the message in hand is served (SIGTERM, SIGINT);
//   the exit after a malformed extended request likewise;
// - a driver that leaves can come back at once, but for the closing
//   exchanges, and an idle port never refuses it;
// - the bridge's descriptors are back to their baseline with each new client,
//   and the heap to its own at the end of every scenario (checked by main).
#ifndef SCANBRIDGE_CHAOS_SCENARIO_H_
#define SCANBRIDGE_CHAOS_SCENARIO_H_

#include <cstdint>
#include <string>
#include <vector>

#include "chaos/support.h"

namespace scanbridge::chaos {

struct scenario_result {
  int steps = 0;
  std::vector<std::string> violations;
  // What the driver did and what the scanners chose, a line each.
  std::vector<std::string> record;
};

// Runs the scenario that seed describes. baseline_fds: the descriptors the
// bridge holds with a client and no device; 0 on the first call, which
// learns it.
scenario_result run_scenario(std::uint64_t seed, const limits& lim, int* baseline_fds);

}  // namespace scanbridge::chaos

#endif  // SCANBRIDGE_CHAOS_SCENARIO_H_
