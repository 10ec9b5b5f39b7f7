// SPDX-License-Identifier: MIT
// TCP sockets on 127.0.0.1 for tests: listeners, clients, connected pairs and
// resets. All descriptors are closed on exec.
#ifndef SCANBRIDGE_TESTS_SUPPORT_LOOPBACK_H_
#define SCANBRIDGE_TESTS_SUPPORT_LOOPBACK_H_

#include <chrono>

#include "tests/support/io.h"

namespace scanbridge::testing {

struct listener {
  unique_fd fd;
  int port = 0;
};

// A socket listening on 127.0.0.1 (port 0: the system chooses), with address
// reuse on. Throws std::system_error when it cannot be set up.
listener listen_loopback(int port = 0);
// Whether this machine can bind ::1 (containers may have no IPv6 at all);
// tests of IPv6 skip themselves without it.
bool ipv6_loopback_available();

// Bound to 127.0.0.1 but not listening: connections to its port are refused
// until listen() is called on it. Throws std::system_error.
listener bind_loopback(int port = 0);

// One blocking connection attempt to address:port (127.0.0.1 by default).
// An invalid descriptor when it fails, with errno telling why.
unique_fd connect_loopback(int port, const char* address = "127.0.0.1");
// Connects, trying again while the port refuses, until the timeout: for a
// server that is about to listen again.
unique_fd connect_loopback_retry(int port, std::chrono::milliseconds timeout = WAIT);
// Accepts one connection, waiting at most the timeout; invalid when none came.
unique_fd accept_connection(int listen_fd, std::chrono::milliseconds timeout = WAIT);

// Two ends of one established TCP connection on the loopback interface.
socket_pair tcp_pair();

// Waits until the peer's system has acknowledged every byte written on fd,
// so the bytes sit in the peer's receive queue even if its process is stopped.
bool wait_acknowledged(int fd, std::chrono::milliseconds timeout = WAIT);

// Closes with SO_LINGER 0, so the peer receives a reset instead of an end of
// stream.
void reset_close(unique_fd& fd);

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SUPPORT_LOOPBACK_H_
