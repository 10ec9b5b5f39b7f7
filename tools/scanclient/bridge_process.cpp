#include "tools/scanclient/bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

extern char** environ;

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

int remaining_ms(clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Frees the spawn attributes and file actions on every path.
struct spawn_setup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  spawn_setup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~spawn_setup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;
};

}  // namespace

std::string bridge_beside_executable() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::string();
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1) + "scanbridge";
}

bool parse_port_line(std::string_view line, int* port, std::string* error) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  if (line == "-1") {
    *error = "the bridge failed to start (it announced port -1)";
    return false;
  }
  long value = 0;
  bool digits = !line.empty() && line.size() <= 5;
  for (const char c : line) {
    if (c < '0' || c > '9') {
      digits = false;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (!digits) {
    *error = "the bridge's first line is not a port number: \"" + std::string(line) + "\"";
    return false;
  }
  if (value < 1 || value > 65535) {
    *error = "the bridge announced no usable port (" + std::to_string(value) + ")";
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

outcome bridge_process::start(const std::string& path, int timeout_ms,
                              std::unique_ptr<bridge_process>* process) {
  if (path.empty())
    return outcome::failure("bridge not found: cannot locate it, use --bridge PATH");
  if (::access(path.c_str(), X_OK) != 0) {
    return outcome::failure("bridge not found: " + path + ": " + std::strerror(errno) +
                            " (use --bridge PATH)");
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return outcome::failure(std::string("cannot make a pipe for the bridge: ") +
                            std::strerror(errno));
  }

  spawn_setup setup;
  posix_spawn_file_actions_adddup2(&setup.actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // The bridge stops on SIGTERM, SIGINT and SIGHUP unless they are ignored, and
  // the client may have inherited them ignored: give them back their default.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGPIPE);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(
      &setup.attributes,
      static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP));

  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv, environ);
  ::close(pipe_fds[1]);
  if (spawned != 0) {
    ::close(pipe_fds[0]);
    return outcome::failure("cannot start the bridge " + path + ": " + std::strerror(spawned));
  }
  auto started = std::make_unique<bridge_process>(pid, pipe_fds[0]);
  outcome announced = started->read_port_(timeout_ms);
  if (!announced.is_ok()) return announced;  // the destructor stops it
  *process = std::move(started);
  return outcome::ok();
}

outcome bridge_process::read_port_(int timeout_ms) {
  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string line;
  for (;;) {
    const std::size_t end = line.find('\n');
    if (end != std::string::npos) {
      std::string error;
      if (!parse_port_line(line.substr(0, end), &port_, &error)) return outcome::failure(error);
      return outcome::ok();
    }
    if (line.size() > 64) {
      return outcome::failure("the bridge's first line is not a port number: \"" +
                              line.substr(0, 64) + "...\"");
    }
    pollfd entry{};
    entry.fd = out_fd_;
    entry.events = POLLIN;
    const int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      return outcome::failure("the bridge did not announce its port within " +
                              std::to_string(timeout_ms / 1000) + " s");
    }
    char buffer[64];
    const ssize_t n = ready > 0 ? ::read(out_fd_, buffer, sizeof(buffer)) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // End of its output before a whole line: the bridge has gone.
      for (int i = 0; i < 100 && running(); ++i) ::poll(nullptr, 0, 10);
      const std::string how = running() ? "closed its output" : exit_text();
      return outcome::failure("the bridge failed to start: it " + how +
                              " before announcing its port");
    }
    line.append(buffer, static_cast<std::size_t>(n));
  }
}

bridge_process::~bridge_process() {
  stop();
  if (out_fd_ >= 0) ::close(out_fd_);
}

bool bridge_process::running() {
  if (ended_) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_ || (done < 0 && errno == ECHILD)) {
    ended_ = true;
    wait_status_ = status;
    return false;
  }
  return true;
}

bool bridge_process::wait_for_exit(int timeout_ms) {
  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  while (running()) {
    if (remaining_ms(deadline) == 0) return false;
    ::poll(nullptr, 0, 10);
  }
  return true;
}

std::string bridge_process::exit_text() {
  if (running()) return std::string();
  if (WIFEXITED(wait_status_))
    return "exited with status " + std::to_string(WEXITSTATUS(wait_status_));
  if (WIFSIGNALED(wait_status_)) {
    const int sig = WTERMSIG(wait_status_);
    return "was killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  return "ended";
}

void bridge_process::stop() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  // The bridge closes its devices in order on SIGTERM; give it a moment.
  if (!wait_for_exit(5000)) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_) wait_status_ = status;
    ended_ = true;
  }
}

}  // namespace scanbridge::tools
