// SPDX-License-Identifier: MIT
#include "net/wake.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace scanbridge {

namespace {

// Written by the signal handler through wake_waits(), read everywhere else.
volatile std::sig_atomic_t wake_fd = -1;
volatile std::sig_atomic_t pending = 0;

// poll() for at most timeout_ms (negative: no bound), riding out a signal
// that interrupts it: the wait goes on for the time left. Returns poll()'s
// result.
int poll_for(pollfd* fds, nfds_t count, int timeout_ms) {
  const std::int64_t deadline = deadline_after(timeout_ms);
  int left = timeout_ms;
  for (;;) {
    const int n = ::poll(fds, count, left);
    if (n >= 0 || errno != EINTR) return n;
    left = time_left(deadline);
  }
}

}  // namespace

int time_left(std::int64_t deadline) {
  if (deadline < 0) return -1;
  return static_cast<int>(std::max<std::int64_t>(0, deadline - monotonic_ms()));
}

std::int64_t deadline_after(int timeout_ms) {
  return timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
}

bool open_wake() {
  if (wake_fd >= 0) return true;
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return false;
  wake_fd = fd;
  return true;
}

void wake_waits() {
  // The flag first: whoever sees the descriptor readable finds it set.
  pending = 1;
  const int fd = wake_fd;
  if (fd < 0) return;
  const int saved = errno;
  const std::uint64_t one = 1;
  // Cannot block (EFD_NONBLOCK); a counter that is already up stays up.
  [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
  errno = saved;
}

bool wake_pending() { return pending != 0; }

void clear_wake() {
  // Drain first, then clear the flag: a wake that lands in between leaves
  // the descriptor readable, so the next wait still ends, and sets the flag
  // again when it sees that.
  const int fd = wake_fd;
  if (fd >= 0) {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
  }
  pending = 0;
}

wait_result wait_for(int fd, short events, int timeout_ms) {
  // poll() skips a negative descriptor and would wait for nothing.
  if (fd < 0) return wait_result::FAILED;
  pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  const int n = poll_for(fds, 2, timeout_ms);
  if (n < 0) return wait_result::FAILED;
  if (n == 0) return wait_result::TIMED_OUT;
  if (fds[1].revents != 0) {
    pending = 1;
    return wait_result::WOKEN;
  }
  return wait_result::READY;
}

bool sleep_unless_woken(int ms) {
  pollfd wake = {wake_fd, POLLIN, 0};
  if (poll_for(&wake, 1, ms) <= 0) return true;
  pending = 1;
  return false;
}

std::int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace scanbridge
