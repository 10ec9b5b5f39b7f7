// SPDX-License-Identifier: MIT
// Waits that a signal handler can end.
//
// Every wait of the bridge (for a client, for a client's bytes, for a
// scanner's bytes or for room to send them, for a connection, and the pause
// between connection tries) is a poll() that watches, besides its own
// descriptor, one process-wide wake descriptor, an eventfd. wake_waits(),
// which a signal handler may call, makes that descriptor readable: the wait in
// progress ends at once, and so does every later wait until clear_wake(). A
// signal that lands between a test of a flag and the start of a wait is
// therefore never lost, and no signal mask has to change around any call.
//
// The sockets' own I/O never blocks (MSG_DONTWAIT): all blocking happens in
// these waits.
#ifndef SCANBRIDGE_NET_WAKE_H_
#define SCANBRIDGE_NET_WAKE_H_

#include <cstdint>

namespace scanbridge {

// Makes the wake descriptor, once per process. Without it (before the call,
// or when the system refuses one) waits run their full time.
bool open_wake();

// Ends every wait in progress and every later one, until clear_wake().
// Async-signal-safe.
void wake_waits();

// True from wake_waits() until clear_wake(); costs no system call.
bool wake_pending();

// Lets waits run again: only a later wake_waits() ends them.
void clear_wake();

enum class wait_result { READY, TIMED_OUT, WOKEN, FAILED };

// Waits until fd reports one of events (POLLIN, POLLOUT), an error or a
// hang-up, for at most timeout_ms milliseconds (negative: no bound), unless
// woken. A signal that does not wake the waits does not end the wait either.
wait_result wait_for(int fd, short events, int timeout_ms);

// Sleeps for ms milliseconds, or until woken. True when it slept the whole
// time.
bool sleep_unless_woken(int ms);

// Milliseconds of a monotonic clock, for waits that resume.
std::int64_t monotonic_ms();
// The moment timeout_ms from now on the monotonic clock; -1 (no bound) for a
// negative time-out.
std::int64_t deadline_after(int timeout_ms);
// Milliseconds left until deadline, 0 once it has passed; -1 for no bound.
int time_left(std::int64_t deadline);

}  // namespace scanbridge

#endif  // SCANBRIDGE_NET_WAKE_H_
