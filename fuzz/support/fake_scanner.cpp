// SPDX-License-Identifier: MIT
#include "fuzz/support/fake_scanner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "fuzz/support/check.h"

namespace scanbridge::fuzz {

struct fake_scanner::connection {
  int fd = -1;
  bytes script;
  std::size_t written = 0;
  // The script is all out (or cannot go out any more) and the scanner's side
  // is shut down.
  bool script_done = false;
  std::size_t log = 0;
};

namespace {

void set_int_option(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

// Closes with a reset rather than a FIN: both sides are done by then, and no
// socket is left in TIME_WAIT, which thousands of connections a second would
// otherwise pile up.
void close_abortively(int fd) {
  const linger abort_close{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  ::close(fd);
}

}  // namespace

fake_scanner::fake_scanner() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(listen_fd_ > 2);
  set_int_option(listen_fd_, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
  socklen_t len = sizeof addr;
  FUZZ_CHECK(::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
  port_ = ntohs(addr.sin_port);
  FUZZ_CHECK(::listen(listen_fd_, 64) == 0);
  FUZZ_CHECK(::pipe2(wake_fds_, O_NONBLOCK | O_CLOEXEC) == 0);
  thread_ = std::thread([this] { run_(); });
}

fake_scanner::~fake_scanner() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_();
  thread_.join();
  ::close(listen_fd_);
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
}

std::string fake_scanner::address() const { return "127.0.0.1:" + std::to_string(port_); }

void fake_scanner::queue_script(bytes script) {
  const std::lock_guard lock(mutex_);
  scripts_.push_back(std::move(script));
}

void fake_scanner::set_fallback(bytes script) {
  const std::lock_guard lock(mutex_);
  fallback_ = std::move(script);
}

std::vector<connection_log> fake_scanner::finish() {
  std::unique_lock lock(mutex_);
  finishing_ = true;
  finished_ = false;
  lock.unlock();
  wake_();
  lock.lock();
  finished_cv_.wait(lock, [this] { return finished_; });
  scripts_.clear();
  return std::move(finished_logs_);
}

void fake_scanner::wake_() {
  const char byte = 0;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t n = ::write(wake_fds_[1], &byte, 1);
}

void fake_scanner::run_() {
  std::vector<connection> open;
  std::vector<connection_log> logs;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back(pollfd{wake_fds_[0], POLLIN, 0});
    fds.push_back(pollfd{listen_fd_, POLLIN, 0});
    for (const connection& c : open) {
      const short events = c.script_done ? POLLIN : POLLIN | POLLOUT;
      fds.push_back(pollfd{c.fd, events, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      FUZZ_CHECK(errno == EINTR);
      continue;
    }

    bool finishing = false;
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wake_fds_[0], drain, sizeof drain) > 0) {
      }
      const std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    {
      const std::lock_guard lock(mutex_);
      finishing = finishing_;
    }

    // Only the connections that were polled; those accepted below are served
    // on the next turn (accept_all_ already wrote what it could).
    const std::size_t polled = open.size();
    std::vector<connection> still_open;
    still_open.reserve(polled);
    for (std::size_t i = 0; i < polled; ++i) {
      connection& c = open[i];
      const short revents = fds[i + 2].revents;
      if ((revents & POLLOUT) != 0) write_more_(c);
      bool alive = true;
      if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) alive = read_more_(c, logs);
      if (alive) still_open.push_back(std::move(c));
    }
    open = std::move(still_open);

    if ((fds[1].revents & POLLIN) != 0 || finishing) accept_all_(open, logs);

    if (finishing && open.empty()) {
      const std::lock_guard lock(mutex_);
      finishing_ = false;
      finished_ = true;
      finished_logs_ = std::move(logs);
      logs.clear();
      finished_cv_.notify_all();
    }
  }
  for (connection& c : open) close_abortively(c.fd);
}

void fake_scanner::accept_all_(std::vector<connection>& open, std::vector<connection_log>& logs) {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    connection c;
    c.fd = fd;
    {
      const std::lock_guard lock(mutex_);
      if (scripts_.empty()) {
        c.script = fallback_;
      } else {
        c.script = std::move(scripts_.front());
        scripts_.pop_front();
      }
    }
    c.log = logs.size();
    logs.emplace_back();
    write_more_(c);
    open.push_back(std::move(c));
  }
}

void fake_scanner::write_more_(connection& c) {
  while (!c.script_done && c.written < c.script.size()) {
    const ssize_t n = ::send(c.fd, c.script.data() + c.written, c.script.size() - c.written,
                             MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) break;
    c.written += static_cast<std::size_t>(n);
  }
  if (!c.script_done) {
    ::shutdown(c.fd, SHUT_WR);
    c.script_done = true;
  }
}

bool fake_scanner::read_more_(connection& c, std::vector<connection_log>& logs) {
  std::uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Acknowledge at once, so that the bridge's small writes are never held
      // back waiting for a delayed acknowledgement.
      set_int_option(c.fd, IPPROTO_TCP, TCP_QUICKACK, 1);
      return true;
    }
    if (n < 0 && errno == ECONNRESET) logs[c.log].reset = true;
    if (n <= 0) break;
    connection_log& log = logs[c.log];
    const std::size_t room = connection_log::MAX_LOGGED - log.received.size();
    const std::size_t kept = std::min(room, static_cast<std::size_t>(n));
    log.received.insert(log.received.end(), buf, buf + kept);
    if (kept < static_cast<std::size_t>(n)) log.truncated = true;
  }
  close_abortively(c.fd);
  return false;
}

}  // namespace scanbridge::fuzz
