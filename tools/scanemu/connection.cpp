// SPDX-License-Identifier: MIT
#include "tools/scanemu/connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace scanbridge::tools::scanemu {

connection_control::connection_control(int fd) : fd_(fd) {
  int ends[2];
  if (::pipe(ends) == 0) {
    wake_read_ = ends[0];
    wake_write_ = ends[1];
    // Posting must never block, and draining must stop at the last byte.
    for (int end : ends) ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
  }
}

connection_control::~connection_control() {
  close(false);
  if (wake_read_ >= 0) ::close(wake_read_);
  if (wake_write_ >= 0) ::close(wake_write_);
}

void connection_control::post(unsigned requests) {
  requests_.fetch_or(requests);
  const char byte = 1;
  // A full pipe already wakes the connection; the byte is not needed then.
  if (wake_write_ >= 0) (void)!::write(wake_write_, &byte, 1);
}

void connection_control::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    // Wakes reads and writes blocked on the socket; they fail from now on.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }
  stopped_.notify_all();
  post(0);
}

unsigned connection_control::take_requests() {
  char buf[64];
  while (wake_read_ >= 0 && ::read(wake_read_, buf, sizeof buf) > 0) {
  }
  return requests_.exchange(0);
}

bool connection_control::sleep_for(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, duration, [this] { return stop_.load(); });
}

void connection_control::close(bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  if (reset) {
    // A zero linger time turns close into an RST.
    const linger no_linger{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace scanbridge::tools::scanemu
