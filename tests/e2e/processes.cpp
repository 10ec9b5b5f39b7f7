// SPDX-License-Identifier: MIT
#include "tests/e2e/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tools/common/port_line.h"
#include "tools/common/program.h"
#include "tools/common/deadline.h"

namespace scanbridge::testing {

namespace {

using tools::remaining_ms;

using clock = std::chrono::steady_clock;

// Appends what is readable now; false once the writer has gone.
bool drain(const unique_fd& fd, std::string& into) {
  if (!fd) return false;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

}  // namespace

const char* scanemu_binary() {
  return SCANEMU_BINARY;
}
const char* scanclient_binary() {
  return SCANCLIENT_BINARY;
}

spawned_process::spawned_process(const std::vector<std::string>& argv) {
  tools::program_start start;
  start.argv = argv;
  start.capture_stderr = true;
  tools::started_program started;
  std::string error;
  if (!tools::start_program(start, &started, &error)) {
    throw std::runtime_error("cannot start " + (argv.empty() ? std::string() : argv[0]) + ": " +
                             error);
  }
  child_ = child_process(started.pid);
  out_ = std::move(started.out);
  err_ = std::move(started.err);
  ::fcntl(out_.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(err_.get(), F_SETFL, O_NONBLOCK);
}

bool spawned_process::read_until_(clock::time_point deadline) {
  pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
  if (!out_ && !err_) return false;
  int n;
  do {
    n = ::poll(fds, 2, remaining_ms(deadline));  // a negative descriptor is skipped
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  if (fds[0].revents != 0 && !drain(out_, out_text_)) out_.reset();
  if (fds[1].revents != 0 && !drain(err_, err_text_)) err_.reset();
  return true;
}

std::string spawned_process::first_line(std::chrono::milliseconds timeout) {
  const clock::time_point deadline = clock::now() + timeout;
  while (out_text_.find('\n') == std::string::npos) {
    if (!out_ || !read_until_(deadline)) break;
  }
  const std::size_t newline = out_text_.find('\n');
  return newline == std::string::npos ? std::string() : out_text_.substr(0, newline);
}

bool spawned_process::wait_for_stderr(std::string_view text, std::chrono::milliseconds timeout) {
  const clock::time_point deadline = clock::now() + timeout;
  while (err_text_.find(text) == std::string::npos) {
    if (!err_ || !read_until_(deadline)) return err_text_.find(text) != std::string::npos;
  }
  return true;
}

std::string spawned_process::stdout_text() {
  if (!drain(out_, out_text_)) out_.reset();
  return out_text_;
}

std::string spawned_process::stderr_text() {
  if (!drain(err_, err_text_)) err_.reset();
  return err_text_;
}

exit_status spawned_process::finish(std::chrono::milliseconds timeout) {
  const clock::time_point deadline = clock::now() + timeout;
  while ((out_ || err_) && read_until_(deadline)) {
  }
  return child_.wait_exit(std::chrono::milliseconds(remaining_ms(deadline)));
}

emulator_process::emulator_process(std::string_view variant,
                                   const std::vector<std::string>& options)
    : process_([&] {
        std::vector<std::string> argv = {scanemu_binary(), "--variant", std::string(variant),
                                         "--port", "0"};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
      }()) {
  const std::string line = process_.first_line();
  std::string error;
  if (tools::parse_port_line(line, &port_, &error) != tools::port_line::PORT) {
    throw std::runtime_error("scanemu " + error + "; stderr: " + process_.stderr_text());
  }
}

std::string emulator_process::uri() const {
  return "net://127.0.0.1:" + std::to_string(port_);
}

std::ostream& operator<<(std::ostream& out, const client_result& result) {
  return out << "scanclient " << result.status << "\n--- stdout\n"
             << result.out << "--- stderr\n"
             << result.err << "---";
}

std::vector<std::string> scanclient_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {scanclient_binary()};
  // The bridge of this build, unless the client is to use a running one.
  bool connects = false;
  for (const std::string& arg : args) connects = connects || arg.rfind("--connect", 0) == 0;
  if (!connects) argv.insert(argv.end(), {"--bridge", SCANBRIDGE_BINARY});
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

client_result run_scanclient(const std::vector<std::string>& args,
                             std::chrono::milliseconds timeout) {
  spawned_process client(scanclient_command(args));
  client_result result;
  result.status = client.finish(timeout);
  result.out = client.stdout_text();
  result.err = client.stderr_text();
  return result;
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace scanbridge::testing
