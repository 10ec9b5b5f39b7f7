// SPDX-License-Identifier: MIT
#include "tests/support/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace scanbridge::testing {

exit_status exit_status::from_wait(int status) {
  if (WIFEXITED(status)) return exited(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return killed_by(WTERMSIG(status));
  return still_running;
}

std::ostream& operator<<(std::ostream& out, const exit_status& status) {
  switch (status.end) {
    case exit_status::how::running:
      return out << "still running";
    case exit_status::how::exited:
      return out << "exited with status " << status.value;
    case exit_status::how::killed:
      return out << "killed by signal " << status.value << " (" << ::strsignal(status.value) << ")";
  }
  return out;
}

child_process::child_process(pid_t pid)
    : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}

child_process child_process::fork_running(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return child_process(pid);
}

child_process::child_process(child_process&& other) noexcept
    : pid_(other.pid_), pidfd_(std::move(other.pidfd_)), status_(other.status_) {
  other.pid_ = -1;
}

child_process& child_process::operator=(child_process&& other) noexcept {
  if (this != &other) {
    kill_and_reap();
    pid_ = other.pid_;
    pidfd_ = std::move(other.pidfd_);
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

bool child_process::send_signal(int signal) const {
  return pid_ > 0 && !status_ && ::kill(pid_, signal) == 0;
}

exit_status child_process::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  if (pid_ <= 0) return still_running;
  const auto reap = [this] {
    int status = 0;
    const pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) status_ = exit_status::from_wait(status);
    return status_.has_value();
  };
  if (pidfd_) {
    // The descriptor becomes readable when the process ends: no polling.
    pollfd p{pidfd_.get(), POLLIN, 0};
    int n;
    do {
      n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (n < 0 && errno == EINTR);
    if (n > 0) wait_until(reap, 1s);  // an adopted orphan reaches us just after it ends
  } else {
    wait_until(reap, timeout);
  }
  return status_.value_or(still_running);
}

bool child_process::stop(std::chrono::milliseconds timeout) {
  if (!send_signal(SIGSTOP)) return false;
  bool stopped = false;
  wait_until(
      [&] {
        int status = 0;
        const pid_t got = ::waitpid(pid_, &status, WNOHANG | WUNTRACED);
        if (got != pid_) return false;
        if (WIFSTOPPED(status)) return stopped = true;
        status_ = exit_status::from_wait(status);
        return true;
      },
      timeout);
  return stopped;
}

bool child_process::resume() const {
  return send_signal(SIGCONT);
}

void child_process::kill_and_reap() noexcept {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = exit_status::from_wait(status);
  }
  pid_ = -1;
  pidfd_.reset();
}

subreaper_scope::subreaper_scope() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    throw std::system_error(errno, std::generic_category(), "PR_SET_CHILD_SUBREAPER");
  }
}

subreaper_scope::~subreaper_scope() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace scanbridge::testing
