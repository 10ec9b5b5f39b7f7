// SPDX-License-Identifier: MIT
#include "tests/support/bridge_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tests/support/loopback.h"
#include "tools/common/port_line.h"
#include "tools/common/program.h"

namespace scanbridge::testing {

namespace {

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
  tools::program_start start;
  start.argv = {options.binary};
  start.capture_stderr = true;
  start.close_stdin = options.close_stdin;
  start.ignored_signals = options.ignored_signals;
  tools::started_program started;
  std::string error;
  if (!tools::start_program(start, &started, &error)) {
    throw std::runtime_error("cannot start " + options.binary + ": " + error);
  }
  child_ = child_process(started.pid);
  stdout_ = std::move(started.out);
  stderr_ = std::move(started.err);
  ::fcntl(stdout_.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(stderr_.get(), F_SETFL, O_NONBLOCK);
}

std::optional<std::string> bridge_process::first_line(std::chrono::milliseconds timeout) {
  if (!first_line_) {
    if (stdout_open_ && tools::read_line(stdout_.get(), std::chrono::steady_clock::now() + timeout,
                                         &out_text_) == tools::line_wait::ENDED) {
      stdout_open_ = false;
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
  std::string error;
  if (tools::parse_port_line(*line, &value, &error) != tools::port_line::PORT) {
    throw std::runtime_error("the bridge " + error);
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
