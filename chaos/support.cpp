// SPDX-License-Identifier: MIT
#include "chaos/support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "tools/common/loopback.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer's runtime; its headers are not always installed.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace scanbridge::chaos {

namespace {

// The harness's open descriptors. Opening and closing happen under the lock,
// and so does the count, so a count never sees a descriptor of the harness
// that the register does not know yet or any more.
std::mutex register_lock;
std::set<int>& registered() {
  static std::set<int> fds;
  return fds;
}

int registered_socket(int domain, int type) {
  const std::lock_guard lock(register_lock);
  const int fd = ::socket(domain, type | SOCK_CLOEXEC, 0);
  if (fd >= 0) registered().insert(fd);
  return fd;
}

void set_rcvbuf(int fd, int rcvbuf) {
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
}

// The port of fd's own address, or with peer of its peer's; -1 when there
// is none.
int port_of(int fd, bool peer) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                     : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return r == 0 && addr.sin_family == AF_INET ? ntohs(addr.sin_port) : -1;
}

std::mutex faults_lock;
std::map<std::string, long>& faults() {
  static std::map<std::string, long> counts;
  return counts;
}

}  // namespace

void count_fault(const char* kind) {
  const std::lock_guard lock(faults_lock);
  ++faults()[kind];
}

std::vector<std::pair<std::string, long>> fault_counts() {
  const std::lock_guard lock(faults_lock);
  return {faults().begin(), faults().end()};
}

std::int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

std::int64_t draw(rng& r, std::int64_t lo, std::int64_t hi) {
  return std::uniform_int_distribution<std::int64_t>(lo, hi)(r);
}

bool chance(rng& r, int percent) {
  return draw(r, 0, 99) < percent;
}

std::uint64_t derive(std::uint64_t seed, std::uint64_t index) {
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (index + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

harness_socket& harness_socket::operator=(harness_socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

harness_socket harness_socket::listen_any(int rcvbuf) {
  harness_socket s(registered_socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK));
  if (!s) return s;
  set_rcvbuf(s.fd_, rcvbuf);
  const sockaddr_in addr = tools::loopback_address(0);
  if (::bind(s.fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s.fd_, 16) != 0) {
    s.close();
  }
  return s;
}

harness_socket harness_socket::bound_any() {
  harness_socket s(registered_socket(AF_INET, SOCK_STREAM));
  const sockaddr_in addr = tools::loopback_address(0);
  if (s && ::bind(s.fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) s.close();
  return s;
}

harness_socket harness_socket::connect_to(int port, int rcvbuf, bool* refused) {
  harness_socket s(registered_socket(AF_INET, SOCK_STREAM));
  if (refused) *refused = false;
  if (!s) return s;
  set_rcvbuf(s.fd_, rcvbuf);
  // A driver turns Nagle off: a message that gets no reply must not wait for
  // the bridge's delayed acknowledgement.
  const int one = 1;
  ::setsockopt(s.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const sockaddr_in addr = tools::loopback_address(port);
  if (::connect(s.fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (refused) *refused = errno == ECONNREFUSED;
    s.close();
  }
  return s;
}

harness_socket harness_socket::accept_one() const {
  const std::lock_guard lock(register_lock);
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) registered().insert(fd);
  return harness_socket(fd);
}

int harness_socket::port() const {
  return port_of(fd_, false);
}

int harness_socket::peer_port() const {
  return port_of(fd_, true);
}

bool harness_socket::is(int fd, int local_port, int peer_port) {
  return port_of(fd, false) == local_port && port_of(fd, true) == peer_port;
}

void harness_socket::close() {
  if (fd_ < 0) return;
  const std::lock_guard lock(register_lock);
  ::close(fd_);
  registered().erase(fd_);
  fd_ = -1;
}

void harness_socket::reset() {
  if (fd_ < 0) return;
  const linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close();
}

namespace {

// The descriptors above 2 that the harness did not open, one by one, until
// visit returns false. Under the register's lock, so that no descriptor of
// the harness (this walk's own folder included) is taken for the bridge's.
template <typename Visit>
bool visit_bridge_descriptors(Visit visit) {
  const std::lock_guard lock(register_lock);
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == ::dirfd(dir)) continue;
    if (registered().count(static_cast<int>(fd)) == 0 && !visit(static_cast<int>(fd))) break;
  }
  ::closedir(dir);
  return true;
}

}  // namespace

int bridge_descriptors() {
  int count = 0;
  if (!visit_bridge_descriptors([&count](int) { return ++count > 0; })) return -1;
  return count;
}

int bridge_socket(int local_port, int peer_port) {
  int found = -1;
  visit_bridge_descriptors([&](int fd) {
    if (harness_socket::is(fd, local_port, peer_port)) found = fd;
    return found < 0;
  });
  return found;
}

std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  // mallinfo2() counts the main arena only: main() keeps every thread there.
  return mallinfo2().uordblks;
#endif
}

short wait_fd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, ms);
    if (n > 0) return p.revents;
    if (n == 0 || errno != EINTR) return 0;
  }
}

bool send_all(int fd, const std::uint8_t* data, std::size_t n, int ms) {
  while (n > 0) {
    const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      n -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if ((wait_fd(fd, POLLOUT, ms) & POLLOUT) == 0) return false;
  }
  return true;
}

bool read_exact(int fd, std::uint8_t* out, std::size_t n, int ms) {
  while (n > 0) {
    const ssize_t got = ::recv(fd, out, n, MSG_DONTWAIT);
    if (got > 0) {
      out += got;
      n -= static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) return false;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (wait_fd(fd, POLLIN, ms) == 0) return false;
  }
  return true;
}

}  // namespace scanbridge::chaos
