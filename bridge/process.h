// SPDX-License-Identifier: MIT
// The bridge process: stop signals, parent-death notification and the process
// entry.
#ifndef SCANBRIDGE_BRIDGE_PROCESS_H_
#define SCANBRIDGE_BRIDGE_PROCESS_H_

#include <csignal>

namespace scanbridge {

// Set to 1 by stop_handler and never cleared; the main loop tests it once
// per message.
extern volatile std::sig_atomic_t stop_requested;
// Set to 1 when the stop came from SIGHUP (also sent when the parent dies),
// which ends even the wait for a client message; never cleared.
extern volatile std::sig_atomic_t hangup_requested;

// Records the stop and wakes every wait (net/wake.h), so that the stop takes
// effect wherever the bridge is, also when it lands just before a wait.
void stop_handler(int signal);

// Installs stop_handler for one signal, unless the parent left that signal
// ignored: an inherited SIG_IGN stays in force.
void install_stop_handler(int signal);

// The whole life of the bridge process. Returns the exit status: 0 after a
// stop, 1 after an exception.
int bridge_main();

}  // namespace scanbridge

#endif  // SCANBRIDGE_BRIDGE_PROCESS_H_
