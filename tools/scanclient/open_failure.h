// SPDX-License-Identifier: MIT
// Why the bridge could not open a scanner. The bridge answers a failed OPEN
// with status -1 alone; the client then looks for the cause itself, the way
// the bridge connects, and tells the user in one line.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_OPEN_FAILURE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_OPEN_FAILURE_H_

#include <string>

#include "tools/scanclient/address.h"

namespace scanbridge::tools {

// How long the test connection may wait for the scanner.
inline constexpr int OPEN_CHECK_TIMEOUT_MS = 3000;

// A name look-up, then one test connection that is closed as soon as it is
// made, waiting at most timeout_ms for it:
//   "cannot resolve HOST"
//   "connection refused by HOST:PORT"
//   "no answer from HOST:PORT within N s"
//   "HOST:PORT answered but is not a scanner (no greeting)"
// or "cannot connect to HOST:PORT: REASON" for the system's other refusals.
std::string explain_open_failure(const scanner_address& address,
                                 int timeout_ms = OPEN_CHECK_TIMEOUT_MS);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_OPEN_FAILURE_H_
