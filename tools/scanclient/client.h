// SPDX-License-Identifier: MIT
// What scanclient does for one command line: starts the bridge, connects,
// opens the device, probes or scans it, and tells the user how it went.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_CLIENT_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_CLIENT_H_

#include <csignal>

#include "tools/common/command_line.h"
#include "tools/scanclient/options.h"

namespace scanbridge::tools {

inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_CANCELLED = 130;

// `interrupts` counts the SIGINTs received so far. Returns the exit status.
int run_client(const client_options& options, const volatile std::sig_atomic_t* interrupts);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_CLIENT_H_
