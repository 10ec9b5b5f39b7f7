// SPDX-License-Identifier: MIT
// Descriptors, byte strings and bounded waits for tests that talk to real
// sockets and processes. Every wait takes a deadline; none of them sleeps to
// let something else happen.
#ifndef SCANBRIDGE_TESTS_SUPPORT_IO_H_
#define SCANBRIDGE_TESTS_SUPPORT_IO_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/unique_fd.h"

namespace scanbridge::testing {

// Prints a test case that has a name by that name. A test file brings it in
// with `using testing::PrintTo;` inside its own namespace, where the
// printer's argument-dependent lookup finds it.
template <class T>
requires requires(const T& t) {
  t.name;
}
void PrintTo(const T& c, std::ostream* os) {
  *os << c.name;
}


using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

// The bound of every wait that is expected to end early: generous, so that a
// loaded machine or a sanitizer build never trips it.
inline constexpr std::chrono::milliseconds WAIT = 10s;

// Owns one descriptor and closes it when destroyed.
using tools::unique_fd;

struct pipe_fds {
  unique_fd read_end;
  unique_fd write_end;
};
// A pipe whose ends are closed on exec, so no child process inherits them.
// Throws std::system_error when the system refuses.
pipe_fds make_pipe();

// Two connected stream sockets.
struct socket_pair {
  unique_fd client;
  unique_fd server;
};
// A Unix-domain stream pair: what one end writes is queued at the other before
// the write returns, which makes "the reader has consumed it" observable.
socket_pair unix_socket_pair();

// "1B 49 FF": upper-case hex, one space between bytes.
std::string hex(const bytes& data);
// The inverse of hex(); spaces are optional.
bytes unhex(std::string_view text);
bytes text_bytes(std::string_view text);

// Writes every byte; sockets get MSG_NOSIGNAL, so a test never dies of
// SIGPIPE. False when a call fails.
bool write_all(int fd, const bytes& data);
// Reads until n bytes arrived, end of stream, an error or the timeout, and
// returns what arrived: fewer than n bytes means the stream did not deliver.
bytes read_exact(int fd, std::size_t n, std::chrono::milliseconds timeout = WAIT);
// True when fd becomes readable (data, end of stream or an error) in time.
bool wait_readable(int fd, std::chrono::milliseconds timeout = WAIT);
// True when the stream ends (end of stream or reset) in time with no byte
// arriving before.
bool expect_eof(int fd, std::chrono::milliseconds timeout = WAIT);
// Bytes waiting unread on a socket (FIONREAD), or -1.
int pending_input(int fd);

// Checks the condition every millisecond until it holds or the time is up.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = WAIT);

// Descriptors open in this process.
std::size_t count_open_fds();

// True once the thread or process `task` is blocked in one of the given
// system calls (SYS_read, SYS_accept, ...), as /proc/<task>/syscall tells.
bool wait_in_syscall(pid_t task, std::vector<long> numbers,
                     std::chrono::milliseconds timeout = WAIT);
// The system calls in which the bridge waits, for anything: every wait of it
// is a poll() (which the C library may make a ppoll()).
std::vector<long> poll_calls();
// True once the task sits in a poll() of exactly this many descriptors: the
// bridge's pauses poll its wake descriptor alone, its other waits poll a
// socket beside it.
bool wait_in_poll_of(pid_t task, int descriptors, std::chrono::milliseconds timeout = WAIT);
// A signal set of /proc/<task>/status ("SigBlk", "SigIgn", "SigCgt") as a bit
// mask, bit n-1 for signal n; throws when the task or field does not exist.
std::uint64_t signal_mask(pid_t task, std::string_view field);
inline constexpr std::uint64_t signal_bit(int signal) {
  return std::uint64_t{1} << (signal - 1);
}

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SUPPORT_IO_H_
