// SPDX-License-Identifier: MIT
// The bridge as the client's child process: found, started from its
// executable, its port read from the first line it prints, stopped when the
// client is done.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_PROCESS_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "tools/common/unique_fd.h"
#include "tools/scanclient/outcome.h"

namespace scanbridge::tools {

// Where the installed bridge lies seen from the installed client: the libexec
// directory relative to the bin directory, "../libexec" in the default
// layout. The build sets it from its install directories.
extern const char* const LIBEXEC_FROM_BIN;

// The bridge to start: `given` when it is not empty (--bridge); otherwise
// scanbridge beside the client (the build tree), else in the libexec
// directory relative to the client's own (an installed tree, wherever it was
// installed or unpacked). False, with what was looked at in *error, when
// neither holds an executable.
bool locate_bridge(const std::string& given, const std::string& client_dir,
                   const std::string& libexec_from_bin, std::string* path, std::string* error);

class bridge_process {
 public:
  // Starts the executable at `path` with no arguments, its standard output a
  // pipe to read the port from, in a process group of its own so that the
  // terminal's Ctrl-C reaches only the client. Waits at most timeout_ms for
  // the port line.
  static outcome start(const std::string& path, int timeout_ms,
                       std::unique_ptr<bridge_process>* process);

  // A started child whose standard output is read from `out`; start() makes
  // these.
  bridge_process(pid_t pid, unique_fd out) : pid_(pid), out_(std::move(out)) {}
  // Stops the bridge if it is still running.
  ~bridge_process();

  bridge_process(const bridge_process&) = delete;
  bridge_process& operator=(const bridge_process&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // False once the process has ended; its end is then kept for exit_text().
  bool running();
  // Waits at most timeout_ms for the process to end; true when it has.
  bool wait_for_exit(int timeout_ms);
  // "exited with status 1", "was killed by signal 9 (Killed)"; empty while it
  // runs.
  std::string exit_text();

  // SIGTERM, then SIGKILL when it has not ended within a few seconds.
  void stop();

 private:
  outcome read_port_(int timeout_ms);

  pid_t pid_;
  unique_fd out_;
  int port_ = 0;
  bool ended_ = false;
  int wait_status_ = 0;
};

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_PROCESS_H_
