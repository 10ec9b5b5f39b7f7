#include "bench/relay_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace scanbridge::bench {

namespace {

constexpr int PORT_LINE_TIMEOUT_MS = 10'000;

using clock_type = std::chrono::steady_clock;

}  // namespace

relay_process::relay_process(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    fault_ = "pipe failed";
    return;
  }
  stdout_.reset(pipe_fds[0]);
  unique_fd write_end(pipe_fds[1]);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);

  const auto t0 = clock_type::now();
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  write_end.reset();
  if (rc != 0) {
    pid_ = -1;
    fault_ = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return;
  }

  // The port line, read as it comes (it may arrive in pieces).
  std::string line;
  const auto deadline = t0 + std::chrono::milliseconds(PORT_LINE_TIMEOUT_MS);
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    pollfd p{stdout_.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      fault_ = argv[0] + " printed no port line";
      return;
    }
    char buf[64];
    const ssize_t n = ::read(stdout_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fault_ = argv[0] + " ended before its port line";
      return;
    }
    line.append(buf, static_cast<std::size_t>(n));
  }
  startup_seconds_ = std::chrono::duration<double>(clock_type::now() - t0).count();
  const long port = std::strtol(line.c_str(), nullptr, 10);
  if (port <= 0 || port > 65535) {
    fault_ = argv[0] + " announced port " + line.substr(0, line.find('\n'));
    return;
  }
  port_ = static_cast<int>(port);
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
  } else if (WIFSIGNALED(status)) {
    outcome = "died of signal " + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    outcome = "exited with status " + std::to_string(WEXITSTATUS(status));
  }
  pid_ = -1;
  return outcome;
}

}  // namespace scanbridge::bench
