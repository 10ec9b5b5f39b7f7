// SPDX-License-Identifier: MIT
// Child processes that a test can wait for with a deadline, stop, signal and
// never leak: a child still running when its owner goes is killed and reaped.
#ifndef SCANBRIDGE_TESTS_SUPPORT_CHILD_PROCESS_H_
#define SCANBRIDGE_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>

#include "tests/support/io.h"

namespace scanbridge::testing {

// How a process ended, or that it has not ended yet.
struct exit_status {
  enum class how { running, exited, killed };
  how end = how::running;
  int value = 0;  // exit code or the signal that ended it

  static exit_status from_wait(int status);
  bool operator==(const exit_status&) const = default;
};
inline exit_status exited(int code) {
  return {exit_status::how::exited, code};
}
inline exit_status killed_by(int signal) {
  return {exit_status::how::killed, signal};
}
inline constexpr exit_status still_running{};
std::ostream& operator<<(std::ostream& out, const exit_status& status);

class child_process {
 public:
  child_process() = default;
  // Takes charge of process pid, which must be a child of this process by the
  // time it is waited for (an orphan that this process adopts as subreaper
  // counts).
  explicit child_process(pid_t pid);
  // Forks; the child runs body and exits with its result (1 if it throws),
  // without running this process's exit handlers.
  static child_process fork_running(const std::function<int()>& body);

  child_process(child_process&& other) noexcept;
  child_process& operator=(child_process&& other) noexcept;
  ~child_process() { kill_and_reap(); }

  pid_t pid() const { return pid_; }
  bool send_signal(int signal) const;
  // Still_running when the process has not ended within the timeout.
  exit_status wait_exit(std::chrono::milliseconds timeout = WAIT);
  bool running() { return wait_exit(0ms) == still_running; }
  // SIGSTOP, then waits until the process is stopped. False if it ended.
  bool stop(std::chrono::milliseconds timeout = WAIT);
  bool resume() const;
  // SIGKILL and reap, unless it was reaped already.
  void kill_and_reap() noexcept;

 private:
  pid_t pid_ = -1;
  unique_fd pidfd_;  // readable once the process has ended
  std::optional<exit_status> status_;
};

// Makes this process the reaper of orphaned descendants for its lifetime,
// so that a grandchild whose parent dies can be waited for.
class subreaper_scope {
 public:
  subreaper_scope();
  ~subreaper_scope();
  subreaper_scope(const subreaper_scope&) = delete;
  subreaper_scope& operator=(const subreaper_scope&) = delete;
};

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SUPPORT_CHILD_PROCESS_H_
