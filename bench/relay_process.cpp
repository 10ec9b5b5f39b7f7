// SPDX-License-Identifier: MIT
#include "bench/relay_process.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/common/port_line.h"
#include "tools/common/program.h"

namespace scanbridge::bench {

namespace {

constexpr int PORT_LINE_TIMEOUT_MS = 10'000;

using clock_type = std::chrono::steady_clock;

}  // namespace

relay_process::relay_process(const std::vector<std::string>& argv) {
  tools::program_start start;
  start.argv = argv;
  tools::started_program child;
  const auto t0 = clock_type::now();
  if (!tools::start_program(start, &child, &fault_)) {
    fault_ = "cannot start " + argv[0] + ": " + fault_;
    return;
  }
  pid_ = child.pid;
  stdout_ = std::move(child.out);
  std::string error;
  std::string rest;
  int port = -1;
  if (tools::read_port_line(stdout_.get(), std::chrono::milliseconds(PORT_LINE_TIMEOUT_MS), &port,
                            &error, &rest) != tools::port_line::PORT) {
    fault_ = argv[0] + " " + error;
    return;
  }
  startup_seconds_ = std::chrono::duration<double>(clock_type::now() - t0).count();
  port_ = port;
}

relay_process::~relay_process() {
  if (pid_ > 0) wait_exit(0);
}

std::uint64_t relay_process::peak_rss_kib() const {
  if (pid_ <= 0) return 0;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      std::uint64_t kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

std::string relay_process::blocked_call() const {
  if (pid_ <= 0) return "";
  std::ifstream in("/proc/" + std::to_string(pid_) + "/syscall");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line);
  long number = -1;
  fields >> number;
  std::string args[6];
  for (std::string& a : args) fields >> a;
  auto value = [](const std::string& hex) { return std::strtoull(hex.c_str(), nullptr, 16); };
  // x86-64 numbers of the calls a relay waits in.
  if (number == 45 || number == 0) {
    std::string text = number == 45 ? "recvfrom" : "read";
    text +=
        "(fd " + std::to_string(value(args[0])) + ", " + std::to_string(value(args[2])) + " bytes";
    if (number == 45) {
      const auto flags = value(args[3]);
      std::string names;
      if (flags & MSG_PEEK) names += "|MSG_PEEK";
      if (flags & MSG_WAITALL) names += "|MSG_WAITALL";
      if (flags & MSG_DONTWAIT) names += "|MSG_DONTWAIT";
      text += ", " + (names.empty() ? std::string("0") : names.substr(1));
    }
    return text + ")";
  }
  return line.empty() ? "unknown" : "system call " + line;
}

void relay_process::request_stop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
}

std::string relay_process::wait_exit(int timeout_ms) {
  if (pid_ <= 0) return "";
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  pid_t done = 0;
  for (;;) {
    done = ::waitpid(pid_, &status, WNOHANG);
    if (done != 0 || clock_type::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string outcome;
  if (done == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    outcome = timeout_ms > 0 ? "did not stop in time" : "";
  } else if (done < 0) {
    outcome = "could not be waited for";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    outcome = tools::describe_wait_status(status);
  }
  pid_ = -1;
  return outcome;
}

}  // namespace scanbridge::bench
