// SPDX-License-Identifier: MIT
#include "tools/scanclient/bridge_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "tools/common/deadline.h"
#include "tools/common/port_line.h"
#include "tools/common/program.h"

#ifndef SCANCLIENT_LIBEXEC_FROM_BIN
#define SCANCLIENT_LIBEXEC_FROM_BIN "../libexec"
#endif

namespace scanbridge::tools {

const char* const LIBEXEC_FROM_BIN = SCANCLIENT_LIBEXEC_FROM_BIN;

namespace {

using clock = std::chrono::steady_clock;

bool executable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

bool locate_bridge(const std::string& given, const std::string& client_dir,
                   const std::string& libexec_from_bin, std::string* path, std::string* error) {
  if (!given.empty()) {
    *path = given;
    return true;
  }
  if (client_dir.empty()) {
    *error = "bridge not found: the client's own directory is unknown; use --bridge PATH";
    return false;
  }
  const std::string beside = client_dir + "/scanbridge";
  const std::string installed = client_dir + "/" + libexec_from_bin + "/scanbridge";
  for (const std::string& candidate : {beside, installed}) {
    if (executable(candidate)) {
      *path = candidate;
      return true;
    }
  }
  *error = "bridge not found: no executable " + beside + " or " + installed + "; use --bridge PATH";
  return false;
}

outcome bridge_process::start(const std::string& path, int timeout_ms,
                              std::unique_ptr<bridge_process>* process) {
  program_start request;
  request.argv = {path};
  // The bridge stops on SIGTERM, SIGINT and SIGHUP unless they are ignored,
  // and the client may have inherited them ignored: the child starts with
  // every signal at its default.
  request.own_process_group = true;
  started_program child;
  std::string error;
  if (!start_program(request, &child, &error)) {
    return outcome::failure("bridge not found: " + path + ": " + error + " (use --bridge PATH)");
  }
  auto started = std::make_unique<bridge_process>(child.pid, std::move(child.out));
  outcome announced = started->read_port_(timeout_ms);
  if (!announced.is_ok()) return announced;  // the destructor stops it
  *process = std::move(started);
  return outcome::ok();
}

outcome bridge_process::read_port_(int timeout_ms) {
  std::string error;
  std::string buffer;
  switch (
      read_port_line(out_.get(), std::chrono::milliseconds(timeout_ms), &port_, &error, &buffer)) {
    case port_line::PORT:
      return outcome::ok();
    case port_line::ENDED: {
      // End of its output before a whole line: the bridge has gone.
      wait_for_exit(1000);
      const std::string how = running() ? "closed its output" : exit_text();
      return outcome::failure("the bridge failed to start: it " + how +
                              " before announcing its port");
    }
    case port_line::NO_START:
    case port_line::NOT_A_PORT:
    case port_line::TIMEOUT:
      break;
  }
  return outcome::failure("the bridge " + error);
}

bridge_process::~bridge_process() {
  stop();
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
  return describe_wait_status(wait_status_);
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
