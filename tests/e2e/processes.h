// SPDX-License-Identifier: MIT
// The programs of an end-to-end run as child processes of the test: the
// scanner emulator, scanclient, and any other executable with its output
// captured. Every child is killed and reaped when its object goes.
#ifndef SCANBRIDGE_TESTS_E2E_PROCESSES_H_
#define SCANBRIDGE_TESTS_E2E_PROCESSES_H_

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/io.h"

namespace scanbridge::testing {

// The executables of this build.
const char* scanemu_binary();
const char* scanclient_binary();

// A program started with standard input on /dev/null and standard output and
// error on pipes, every signal at its default disposition and none blocked.
class spawned_process {
 public:
  explicit spawned_process(const std::vector<std::string>& argv);

  pid_t pid() const { return child_.pid(); }

  // Waits until standard output holds a whole first line and returns it
  // without its newline; empty when none came in time or the output ended.
  std::string first_line(std::chrono::milliseconds timeout = WAIT);
  // Waits until standard error contains `text`; false when it did not in time.
  bool wait_for_stderr(std::string_view text, std::chrono::milliseconds timeout = WAIT);
  // What arrived so far, without waiting.
  std::string stdout_text();
  std::string stderr_text();

  // Reads both outputs until they end and the process has exited, or the
  // timeout; still_running when it did not end in time.
  exit_status finish(std::chrono::milliseconds timeout = WAIT);

  bool send_signal(int signal) const { return child_.send_signal(signal); }
  bool running() { return child_.running(); }

 private:
  // Waits at most until the deadline for output on either pipe and takes what
  // came. False when both pipes have ended or the deadline passed.
  bool read_until_(std::chrono::steady_clock::time_point deadline);

  unique_fd out_;
  unique_fd err_;
  std::string out_text_;
  std::string err_text_;
  child_process child_;  // last: killed before the pipes close
};

// scanemu listening on a port of the system's choice. The options are passed
// as they are, after --variant and --port.
class emulator_process {
 public:
  explicit emulator_process(std::string_view variant, const std::vector<std::string>& options = {});

  int port() const { return port_; }
  // "net://127.0.0.1:PORT", the address a driver opens.
  std::string uri() const;
  // The emulator's log so far.
  std::string log() { return process_.stderr_text(); }
  spawned_process& process() { return process_; }

 private:
  spawned_process process_;
  int port_ = 0;
};

// How one run of scanclient went.
struct client_result {
  exit_status status;
  std::string out;
  std::string err;
};
std::ostream& operator<<(std::ostream& out, const client_result& result);

// The command line of scanclient with the given arguments: the bridge of this
// build unless they have --connect.
std::vector<std::string> scanclient_command(const std::vector<std::string>& args);
// Runs scanclient to its end; its exit status is still_running when it did not
// end within the timeout (it is killed then).
client_result run_scanclient(const std::vector<std::string>& args,
                             std::chrono::milliseconds timeout = 60s);

// The lines of a text, without their line ends.
std::vector<std::string> lines_of(std::string_view text);

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_E2E_PROCESSES_H_
