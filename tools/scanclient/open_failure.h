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

// A name look-up, then one test connection on which the greeting is read as
// the bridge reads it (and for IS the open request made and the session
// closed again), waiting at most timeout_ms for each step:
//   "cannot resolve HOST"
//   "connection refused by HOST:PORT"
//   "no answer from HOST:PORT within N s"
//   "cannot connect to HOST:PORT: REASON" for the system's other refusals
//   "nothing answered at HOST:PORT: it took the connection but sent no
//    greeting within N s"
//   "HOST:PORT closed the connection without a greeting"
//   "HOST:PORT answered but is not a scanner (no greeting)"
//   "HOST:PORT speaks protocol version 1.1; the bridge needs 1.2 or later"
//   "HOST:PORT is not ready: its greeting has status 0x01"
//   "HOST:PORT closed the connection after the greeting"
//   "HOST:PORT refused the open request" (or did not answer it in time)
// and, when the scanner greets and opens as it should this time,
// "HOST:PORT answers as an NT (IS) scanner now; try again".
std::string explain_open_failure(const scanner_address& address,
                                 int timeout_ms = OPEN_CHECK_TIMEOUT_MS);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_OPEN_FAILURE_H_
