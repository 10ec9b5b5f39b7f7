// SPDX-License-Identifier: MIT
// The real scanbridge executable as a child process of the test.
#ifndef SCANBRIDGE_TESTS_SUPPORT_BRIDGE_PROCESS_H_
#define SCANBRIDGE_TESTS_SUPPORT_BRIDGE_PROCESS_H_

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/io.h"
#include "tests/support/link_client.h"

namespace scanbridge::testing {

// The scanbridge executable of this build.
const char* bridge_binary();

struct bridge_options {
  // The bridge starts with every signal unblocked and at its default
  // disposition (SIGPIPE included, whatever the test runner has), except these,
  // which it inherits as ignored.
  std::vector<int> ignored_signals;
  // Start with descriptor 0 closed instead of on /dev/null.
  bool close_stdin = false;
  std::string binary = bridge_binary();
};

// Starts the bridge with its standard output and error on pipes. The child
// is killed and reaped when the object goes.
class bridge_process {
 public:
  explicit bridge_process(bridge_options options = {});

  pid_t pid() const { return child_.pid(); }

  // The first line of standard output, without its newline; nullopt when no
  // whole line arrived in time.
  std::optional<std::string> first_line(std::chrono::milliseconds timeout = WAIT);
  // The port of the first line. Throws std::runtime_error when the line is
  // missing or not a port.
  int port(std::chrono::milliseconds timeout = WAIT);
  // Standard output after the first line, up to its end (the bridge exited)
  // or the timeout.
  std::string rest_of_stdout(std::chrono::milliseconds timeout = WAIT);
  // Everything written to standard error so far (all of it once it exited).
  std::string stderr_text();

  bool send_signal(int signal) const { return child_.send_signal(signal); }
  exit_status wait_exit(std::chrono::milliseconds timeout = WAIT) {
    return child_.wait_exit(timeout);
  }
  bool running() { return child_.running(); }
  // SIGSTOP and wait until it is stopped, so that the kernel alone sees what
  // arrives meanwhile; resume() sends SIGCONT.
  bool stop() { return child_.stop(); }
  bool resume() const { return child_.resume(); }
  // A client on the announced port. Tries again while the port refuses and the
  // bridge still runs (it is about to listen again); not connected() when the
  // bridge has ended or the time is up.
  link_client connect(std::chrono::milliseconds timeout = WAIT);
  // Waits until the bridge is blocked in one of the system calls.
  bool wait_in_syscall(std::vector<long> numbers, std::chrono::milliseconds timeout = WAIT) const;

 private:
  // Waits for standard output until the deadline and appends what came; false
  // when nothing more can come in time.
  bool read_stdout_(std::chrono::steady_clock::time_point deadline);

  unique_fd stdout_;
  bool stdout_open_ = true;
  unique_fd stderr_;
  std::string out_text_;
  std::string err_text_;
  std::optional<std::string> first_line_;
  child_process child_;  // last: killed before the pipes close
};

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SUPPORT_BRIDGE_PROCESS_H_
