#include "tests/support/bridge_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <stdexcept>
#include <system_error>

#include "tests/support/loopback.h"

namespace scanbridge::testing {

namespace {

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void exec_bridge(const bridge_options& options, int out, int err) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
  struct sigaction ign = dfl;
  ign.sa_handler = SIG_IGN;
  for (const int s : options.ignored_signals) ::sigaction(s, &ign, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
  if (options.close_stdin) ::close(0);
  char* const argv[] = {const_cast<char*>(options.binary.c_str()), nullptr};
  ::execv(options.binary.c_str(), argv);
  ::_exit(127);
}

// Appends whatever is readable now; false once the writer has gone.
bool drain(int fd, std::string& into) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0;  // EAGAIN: still open
  }
}

}  // namespace

const char* bridge_binary() {
  return SCANBRIDGE_BINARY;
}

bridge_process::bridge_process(bridge_options options) {
  pipe_fds out = make_pipe();
  pipe_fds err = make_pipe();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) exec_bridge(options, out.write_end.get(), err.write_end.get());
  child_ = child_process(pid);
  stdout_ = std::move(out.read_end);
  stderr_ = std::move(err.read_end);
  ::fcntl(stdout_.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(stderr_.get(), F_SETFL, O_NONBLOCK);
}

std::optional<std::string> bridge_process::first_line(std::chrono::milliseconds timeout) {
  if (!first_line_) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_text_.find('\n') == std::string::npos && read_stdout_(deadline)) {
    }
    const std::size_t newline = out_text_.find('\n');
    if (newline == std::string::npos) return std::nullopt;
    first_line_ = out_text_.substr(0, newline);
    out_text_.erase(0, newline + 1);
  }
  return first_line_;
}

int bridge_process::port(std::chrono::milliseconds timeout) {
  const std::optional<std::string> line = first_line(timeout);
  if (!line) throw std::runtime_error("the bridge printed no port line; stderr: " + stderr_text());
  int value = 0;
  const auto [end, ec] = std::from_chars(line->data(), line->data() + line->size(), value);
  if (ec != std::errc() || end != line->data() + line->size() || value <= 0 || value > 65535) {
    throw std::runtime_error("not a port: \"" + *line + "\"");
  }
  return value;
}

std::string bridge_process::rest_of_stdout(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  first_line(timeout);
  while (read_stdout_(deadline)) {
  }
  return out_text_;
}

bool bridge_process::read_stdout_(std::chrono::steady_clock::time_point deadline) {
  if (!stdout_open_) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || !wait_readable(stdout_.get(), left)) return false;
  stdout_open_ = drain(stdout_.get(), out_text_);
  return true;
}

std::string bridge_process::stderr_text() {
  drain(stderr_.get(), err_text_);
  return err_text_;
}

link_client bridge_process::connect(std::chrono::milliseconds timeout) {
  const int p = port(timeout);
  unique_fd fd;
  wait_until(
      [&] {
        fd = connect_loopback(p);
        return fd || errno != ECONNREFUSED || !running();
      },
      timeout);
  return link_client(std::move(fd));
}

bool bridge_process::wait_in_syscall(std::vector<long> numbers,
                                     std::chrono::milliseconds timeout) const {
  return testing::wait_in_syscall(pid(), std::move(numbers), timeout);
}

}  // namespace scanbridge::testing
