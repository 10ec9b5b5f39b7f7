// The bridge as the client's child process: started from its executable, its
// port read from the first line it prints, stopped when the client is done.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_PROCESS_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "tools/scanclient/outcome.h"

namespace scanbridge::tools {

// "scanbridge" in the directory of the running executable; empty when that
// directory cannot be found.
std::string bridge_beside_executable();

// The bridge's first line: a port number from 1 to 65535. "-1" means the
// bridge failed to start. False, with the reason in *error, for anything else.
bool parse_port_line(std::string_view line, int* port, std::string* error);

class bridge_process {
 public:
  // Starts the executable at `path` with no arguments, its standard output a
  // pipe to read the port from, in a process group of its own so that the
  // terminal's Ctrl-C reaches only the client. Waits at most timeout_ms for
  // the port line.
  static outcome start(const std::string& path, int timeout_ms,
                       std::unique_ptr<bridge_process>* process);

  // A started child whose standard output is read from out_fd; start() makes
  // these.
  bridge_process(pid_t pid, int out_fd) : pid_(pid), out_fd_(out_fd) {}
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
  // "exited with status 1", "killed by signal 9 (Killed)"; empty while it runs.
  std::string exit_text();

  // SIGTERM, then SIGKILL when it has not ended within a few seconds.
  void stop();

 private:
  outcome read_port_(int timeout_ms);

  pid_t pid_;
  int out_fd_;
  int port_ = 0;
  bool ended_ = false;
  int wait_status_ = 0;
};

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_PROCESS_H_
