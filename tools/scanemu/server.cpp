// SPDX-License-Identifier: MIT
#include "tools/scanemu/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tools/scanemu/log.h"
#include "tools/scanemu/session.h"

namespace scanbridge::tools::scanemu {
namespace {

// The connection threads leave every signal to the thread that runs the
// server, whose handlers only post commands.
class signals_blocked {
 public:
  signals_blocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~signals_blocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

  signals_blocked(const signals_blocked&) = delete;
  signals_blocked& operator=(const signals_blocked&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace

server::server(const emulator_options& options) : options_(options) {
  int ends[2];
  if (::pipe(ends) == 0) {
    command_read_ = ends[0];
    command_write_ = ends[1];
    for (int end : ends) ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
  }
}

server::~server() {
  stop_all_();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (command_read_ >= 0) ::close(command_read_);
  if (command_write_ >= 0) ::close(command_write_);
}

bool server::listen() {
  if (command_read_ < 0) {
    log_line("scanemu: cannot make a pipe: " + std::string(std::strerror(errno)));
    return false;
  }
  const std::string where = (options_.address.find(':') != std::string::npos
                                 ? "[" + options_.address + "]"
                                 : options_.address) +
                            ":" + std::to_string(options_.port);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options_.port);
  if (const int error = ::getaddrinfo(options_.address.c_str(), port.c_str(), &hints, &found)) {
    log_line("scanemu: cannot listen on " + where + ": " + ::gai_strerror(error));
    return false;
  }
  sockaddr_storage address{};
  std::memcpy(&address, found->ai_addr, found->ai_addrlen);
  socklen_t length = found->ai_addrlen;
  ::freeaddrinfo(found);
  listen_fd_ = ::socket(address.ss_family, SOCK_STREAM, 0);
  if (listen_fd_ < 0) {
    log_line("scanemu: cannot make a socket: " + std::string(std::strerror(errno)));
    return false;
  }
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    log_line("scanemu: cannot listen on " + where + ": " + std::strerror(errno));
    return false;
  }
  port_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return true;
}

void server::post(char command) const {
  // A full pipe holds enough commands already; dropping one is harmless
  // except for a stop, which the pipe then still holds one of.
  if (command_write_ >= 0) (void)!::write(command_write_, &command, 1);
}

void server::run() {
  for (;;) {
    pollfd fds[2] = {{command_read_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log_line("scanemu: poll failed: " + std::string(std::strerror(errno)));
      break;
    }
    if (fds[0].revents != 0) {
      char commands[64];
      const ssize_t n = ::read(command_read_, commands, sizeof commands);
      bool stopping = false;
      for (ssize_t i = 0; i < n; ++i) {
        switch (commands[i]) {
          case COMMAND_STOP:
            stopping = true;
            break;
          case COMMAND_NOTICE:
            broadcast_(REQUEST_NOTICE);
            break;
          case COMMAND_DISCONNECT:
            broadcast_(REQUEST_DISCONNECT);
            break;
          default:
            break;  // a connection ended: reaped below
        }
      }
      reap_();
      if (stopping) break;
    }
    if (fds[1].revents != 0) accept_();
  }
  stop_all_();
}

void server::accept_() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int fd = ::accept(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (fd < 0) {
    if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
      log_line("scanemu: accept failed: " + std::string(std::strerror(errno)));
    }
    return;
  }
  reap_();
  if (slots_.size() >= options_.max_connections) {
    log_line("scanemu: already " + std::to_string(slots_.size()) +
             " connections; closing the new one");
    ::close(fd);
    return;
  }
  // Replies are small and awaited one by one: no delay for small segments.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const int id = next_id_++;
  if (options_.verbose) {
    log_line("scanemu[" + std::to_string(id) + "]: connection from port " +
             std::to_string(ntohs(peer.sin_port)));
  }
  auto entry = std::make_unique<slot>();
  entry->control = std::make_unique<connection_control>(fd);
  slot* s = entry.get();
  const signals_blocked blocked;
  s->thread = std::thread([this, s, id] {
    make_session(*s->control, options_, id)->run();
    s->control->close(false);
    if (options_.verbose) log_line("scanemu[" + std::to_string(id) + "]: connection closed");
    s->done = true;
    post('r');
  });
  slots_.push_back(std::move(entry));
}

void server::reap_() {
  for (auto it = slots_.begin(); it != slots_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = slots_.erase(it);
    } else {
      ++it;
    }
  }
}

void server::broadcast_(unsigned requests) {
  for (const auto& s : slots_) s->control->post(requests);
}

void server::stop_all_() {
  for (const auto& s : slots_) s->control->stop();
  for (const auto& s : slots_) {
    if (s->thread.joinable()) s->thread.join();
  }
  slots_.clear();
}

}  // namespace scanbridge::tools::scanemu
