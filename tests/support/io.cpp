// SPDX-License-Identifier: MIT
#include "tests/support/io.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "tools/common/hex.h"
#include "tools/common/deadline.h"

namespace scanbridge::testing {

namespace {

using tools::remaining_ms;

using clock = std::chrono::steady_clock;

// poll() for one event set until the deadline, riding out EINTR.
short poll_until(int fd, short events, clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::invalid_argument(std::string("not a hex digit: ") + c);
}

}  // namespace

pipe_fds make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  return pipe_fds{unique_fd(fds[0]), unique_fd(fds[1])};
}

socket_pair unix_socket_pair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::system_error(errno, std::generic_category(), "socketpair");
  }
  return socket_pair{unique_fd(fds[0]), unique_fd(fds[1])};
}

std::string hex(const bytes& data) {
  return tools::hex_bytes(data);
}

bytes unhex(std::string_view text) {
  bytes out;
  int high = -1;
  for (const char c : text) {
    if (c == ' ') continue;
    const int digit = hex_digit(c);
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

bytes text_bytes(std::string_view text) {
  return bytes(text.begin(), text.end());
}

bool write_all(int fd, const bytes& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bytes read_exact(int fd, std::size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = clock::now() + timeout;
  bytes out(n);
  std::size_t done = 0;
  while (done < n) {
    if (poll_until(fd, POLLIN, deadline) == 0) break;
    const ssize_t got = ::read(fd, out.data() + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  out.resize(done);
  return out;
}

bool wait_readable(int fd, std::chrono::milliseconds timeout) {
  return poll_until(fd, POLLIN, clock::now() + timeout) != 0;
}

bool expect_eof(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = clock::now() + timeout;
  for (;;) {
    if (poll_until(fd, POLLIN, deadline) == 0) return false;
    std::uint8_t byte;
    const ssize_t got = ::read(fd, &byte, 1);
    if (got == 0) return true;
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && errno == ECONNRESET;
  }
}

int pending_input(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (clock::now() >= deadline) return false;
    const timespec tick{0, 1000 * 1000};
    ::nanosleep(&tick, nullptr);
  }
}

std::size_t count_open_fds() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) throw std::system_error(errno, std::generic_category(), "/proc/self/fd");
  std::size_t n = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++n;
  }
  ::closedir(dir);
  return n - 1;  // the directory stream's own descriptor
}

bool wait_in_syscall(pid_t task, std::vector<long> numbers, std::chrono::milliseconds timeout) {
  const std::string path = "/proc/" + std::to_string(task) + "/syscall";
  return wait_until(
      [&] {
        std::ifstream in(path);
        std::string first;
        if (!(in >> first) || first.empty() || first[0] < '0' || first[0] > '9') return false;
        return std::find(numbers.begin(), numbers.end(), std::stol(first)) != numbers.end();
      },
      timeout);
}

std::vector<long> poll_calls() {
#ifdef SYS_poll
  return {SYS_poll, SYS_ppoll};
#else
  return {SYS_ppoll};
#endif
}

bool wait_in_poll_of(pid_t task, int descriptors, std::chrono::milliseconds timeout) {
  const std::string path = "/proc/" + std::to_string(task) + "/syscall";
  const std::vector<long> polls = poll_calls();
  std::ostringstream count;
  count << "0x" << std::hex << descriptors;
  return wait_until(
      [&] {
        std::ifstream in(path);
        std::string call;
        std::string fds;
        std::string n;
        if (!(in >> call >> fds >> n) || call.empty() || call[0] < '0' || call[0] > '9') {
          return false;
        }
        return std::find(polls.begin(), polls.end(), std::stol(call)) != polls.end() &&
               n == count.str();
      },
      timeout);
}

std::uint64_t signal_mask(pid_t task, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(task) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stoull(line.substr(prefix.size()), nullptr, 16);
  }
  throw std::runtime_error("no " + prefix + " for task " + std::to_string(task));
}

}  // namespace scanbridge::testing
