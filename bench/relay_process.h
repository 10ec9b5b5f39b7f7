// SPDX-License-Identifier: MIT
// A relay started as a driver starts the bridge: a child process whose first
// line on standard output is its loopback port.
#ifndef SCANBRIDGE_BENCH_RELAY_PROCESS_H_
#define SCANBRIDGE_BENCH_RELAY_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/socket.h"

namespace scanbridge::bench {

class relay_process {
 public:
  // Starts argv[0] with the given arguments and waits for its port line.
  // On failure port() is -1 and fault() tells why.
  explicit relay_process(const std::vector<std::string>& argv);
  // Stops the process if stop() was not called (SIGKILL, then reaped).
  ~relay_process();
  relay_process(const relay_process&) = delete;
  relay_process& operator=(const relay_process&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& fault() const { return fault_; }
  // From spawning to the end of the port line.
  double startup_seconds() const { return startup_seconds_; }

  // Peak resident memory so far (VmHWM), in KiB; 0 when unreadable.
  std::uint64_t peak_rss_kib() const;

  // The system call the process is blocked in, from /proc/PID/syscall, as
  // far as it can be told ("recvfrom(fd 3, 12 bytes, MSG_PEEK|MSG_WAITALL)").
  std::string blocked_call() const;

  // First half of an orderly stop: SIGTERM, after which the caller closes
  // its link so that the process notices the request.
  void request_stop();
  // Waits up to timeout_ms for the exit; kills the process after that.
  // Returns "" for exit status 0, otherwise what happened.
  std::string wait_exit(int timeout_ms);

 private:
  pid_t pid_ = -1;
  int port_ = -1;
  double startup_seconds_ = 0;
  std::string fault_;
  unique_fd stdout_;
};

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_RELAY_PROCESS_H_
