// SPDX-License-Identifier: MIT
#include "tools/scanclient/bridge_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/deadline.h"
#include "tools/common/loopback.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

std::string system_error(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

trace_log::trace_log(std::FILE* out) : out_(out), start_(clock::now()) {}

void trace_log::write(std::string_view line) {
  const double ms = std::chrono::duration<double, std::milli>(clock::now() - start_).count();
  std::fprintf(out_, "[%10.3f ms] %.*s\n", ms, static_cast<int>(line.size()), line.data());
  std::fflush(out_);
}

bridge_link::bridge_link(int fd) : fd_(fd) {}

bridge_link::~bridge_link() {
  if (fd_ >= 0) ::close(fd_);
}

outcome bridge_link::connect(int port, int timeout_ms, const std::function<bool()>& peer_alive,
                             std::unique_ptr<bridge_link>* link) {
  const sockaddr_in address = loopback_address(port);

  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return outcome::failure(system_error("cannot create a socket"));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      *link = std::make_unique<bridge_link>(fd);
      return outcome::ok();
    }
    const int error = errno;
    ::close(fd);
    const std::string where = "cannot connect to the bridge at 127.0.0.1:" + std::to_string(port);
    if (error != ECONNREFUSED && error != EINTR) {
      return outcome::failure(where + ": " + std::strerror(error));
    }
    if (peer_alive && !peer_alive()) return outcome::failure(where + ": the bridge has exited");
    if (remaining_ms(deadline) == 0) return outcome::failure(where + ": " + std::strerror(error));
    ::poll(nullptr, 0, 10);  // the bridge is about to listen
  }
}

bridge_link::wait_result bridge_link::wait_(short events, clock::time_point deadline,
                                            bool may_interrupt) {
  for (;;) {
    pollfd entry{};
    entry.fd = fd_;
    entry.events = events;
    const int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready > 0) return wait_result::READY;
    if (ready == 0) return wait_result::TIMEOUT;
    if (errno != EINTR) {
      error_ = system_error("poll");
      return wait_result::FAILED;
    }
    if (may_interrupt && interrupted_ && interrupted_()) return wait_result::INTERRUPTED;
  }
}

bool bridge_link::send(std::uint32_t kind, std::uint32_t id, std::span<const std::uint8_t> payload,
                       std::string_view note) {
  const std::vector<std::uint8_t> message = encode_message(kind, id, payload);
  if (trace_ != nullptr) {
    link_header header;
    header.id = id;
    header.kind = kind;
    header.length = static_cast<std::uint32_t>(payload.size());
    log_(format_sent(header, payload, note));
  }
  if (broken_) {
    error_ = "the link to the bridge is broken";
    return false;
  }
  // Messages are small; the bound only keeps a stuck bridge from holding the
  // client forever.
  const clock::time_point deadline = clock::now() + std::chrono::seconds(60);
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n =
        ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_(POLLOUT, deadline, false) == wait_result::READY) continue;
      error_ = "the bridge does not read its messages";
    } else {
      error_ = system_error("send");
    }
    broken_ = true;
    log_("-> (send failed: " + error_ + ")");
    return false;
  }
  ++sent_;
  return true;
}

void bridge_link::send_sync_() {
  if (send(KIND_SYNC, SYNC_ID, {}, "sync: has the bridge anything more for the messages before?")) {
    syncs_.push_back(sent_);
  }
}

receive_status bridge_link::read_exact_(std::uint8_t* out, std::size_t count,
                                        clock::time_point deadline, bool may_interrupt) {
  std::size_t done = 0;
  while (done < count) {
    switch (wait_(POLLIN, deadline, may_interrupt && done == 0)) {
      case wait_result::READY:
        break;
      case wait_result::TIMEOUT:
        return receive_status::TIMEOUT;
      case wait_result::INTERRUPTED:
        return receive_status::INTERRUPTED;
      case wait_result::FAILED:
        return receive_status::FAILED;
    }
    // The bridge writes a header and its payload separately; acknowledging at
    // once keeps its second write from waiting for our delayed ACK.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
    const ssize_t n = ::recv(fd_, out + done, count - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return receive_status::CLOSED;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      error_ = system_error("recv");
      return receive_status::FAILED;
    }
  }
  return receive_status::OK;
}

receive_status bridge_link::receive(int timeout_ms, const reply_hint& hint, link_message* message,
                                    int sync_after_ms) {
  if (broken_) {
    error_ = "the link to the bridge is broken";
    return receive_status::FAILED;
  }
  if (interrupted_ && interrupted_()) return receive_status::INTERRUPTED;

  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  receive_status status = receive_status::OK;
  if (sync_after_ms >= 0 && !sync_pending_()) {
    const clock::time_point quiet = clock::now() + std::chrono::milliseconds(sync_after_ms);
    if (sync_after_ms == 0) {
      send_sync_();
    } else if (quiet < deadline) {
      switch (wait_(POLLIN, quiet, true)) {
        case wait_result::READY:
          break;
        case wait_result::TIMEOUT:
          send_sync_();
          break;
        case wait_result::INTERRUPTED:
          return receive_status::INTERRUPTED;
        case wait_result::FAILED:
          status = receive_status::FAILED;
          break;
      }
    }
  }
  std::array<std::uint8_t, LINK_HEADER_SIZE> head{};
  while (status == receive_status::OK) {
    status = read_exact_(head.data(), head.size(), deadline, true);
    if (status != receive_status::OK) break;
    message->header = decode_header(head);
    if (message->header.id == SYNC_ID && message->header.length == 0 && !syncs_.empty()) {
      // The answer to a sync: final when nothing was sent after it.
      const bool last = syncs_.front() == sent_;
      syncs_.pop_front();
      const std::string line = "<- reply id=" + std::to_string(SYNC_ID) +
                               " status=" + std::to_string(message->header.status) + " len=0  ";
      if (last) {
        log_(line + "sync answered first: the bridge has nothing more to send");
        return receive_status::NO_ANSWER;
      }
      log_(line + "answer to an earlier sync, skipped");
      continue;
    }
    if (message->header.length > MAX_REPLY_PAYLOAD) {
      status = receive_status::TOO_LARGE;
    } else {
      message->payload.assign(message->header.length, 0);
      status = read_exact_(message->payload.data(), message->payload.size(), deadline, false);
    }
    break;
  }
  if (status == receive_status::OK) {
    log_(format_received(message->header, message->payload, hint));
    return status;
  }
  if (status != receive_status::INTERRUPTED) broken_ = true;
  log_("<- (" + describe(status, timeout_ms) + ")");
  return status;
}

void bridge_link::log_(const std::string& line) {
  if (trace_ != nullptr) trace_->write(line);
}

std::string describe(receive_status status, int timeout_ms) {
  switch (status) {
    case receive_status::OK:
      return "reply received";
    case receive_status::TIMEOUT: {
      char text[64];
      std::snprintf(text, sizeof(text), "no reply from the bridge within %g s",
                    timeout_ms / 1000.0);
      return text;
    }
    case receive_status::CLOSED:
      return "the bridge closed the connection";
    case receive_status::FAILED:
      return "the connection to the bridge failed";
    case receive_status::INTERRUPTED:
      return "interrupted";
    case receive_status::TOO_LARGE:
      return "the bridge announced a reply larger than " + std::to_string(MAX_REPLY_PAYLOAD >> 20) +
             " MiB";
    case receive_status::NO_ANSWER:
      return "the bridge sent no answer: its exchange with the scanner failed";
  }
  return "unknown";
}

}  // namespace scanbridge::tools
