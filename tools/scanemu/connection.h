// SPDX-License-Identifier: MIT
// What the accepting thread and one connection's thread share: the socket,
// a wake-up pipe for requests posted from outside, and the stop flag.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_CONNECTION_H_
#define SCANBRIDGE_TOOLS_SCANEMU_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace scanbridge::tools::scanemu {

// Requests posted to a connection; several may be pending at once.
inline constexpr unsigned REQUEST_NOTICE = 1;
inline constexpr unsigned REQUEST_DISCONNECT = 2;

class connection_control {
 public:
  // Takes over the connected socket.
  explicit connection_control(int fd);
  ~connection_control();

  connection_control(const connection_control&) = delete;
  connection_control& operator=(const connection_control&) = delete;

  // The socket, for the connection's own thread; -1 once closed.
  int fd() const { return fd_; }
  // Readable while requests are pending or the connection is asked to stop.
  int wake_fd() const { return wake_read_; }

  // From any thread: adds requests and wakes the connection.
  void post(unsigned requests);
  // From any thread: makes every blocking call of the connection return.
  void stop();

  // From the connection's thread: the pending requests, cleared.
  unsigned take_requests();
  bool stopping() const { return stop_.load(); }
  // Waits for the given time; false when stop() cut it short.
  bool sleep_for(std::chrono::milliseconds duration);
  // Closes the socket, with an RST instead of an orderly close when reset is
  // set. Safe against a concurrent stop().
  void close(bool reset);

 private:
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  int fd_;
  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<unsigned> requests_{0};
  std::atomic<bool> stop_{false};
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_CONNECTION_H_
