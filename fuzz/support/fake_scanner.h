// SPDX-License-Identifier: MIT
// A scanner on 127.0.0.1 played by a background thread, for the fuzz targets
// that run real sessions.
//
// Every connection the bridge makes is accepted and served one script: the
// bytes are written as fast as the bridge takes them, and then the scanner's
// side of the connection is shut down, so that every read past the script hits
// end of stream at once instead of waiting for a time-out. Whatever the bridge
// sends is read all the time, so its writes never block, and kept for the
// harness to check. Connections are served side by side, so several open
// devices work as they do against real scanners.
#ifndef SCANBRIDGE_FUZZ_SUPPORT_FAKE_SCANNER_H_
#define SCANBRIDGE_FUZZ_SUPPORT_FAKE_SCANNER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/support/input.h"

namespace scanbridge::fuzz {

// What the bridge sent on one connection.
struct connection_log {
  bytes received;
  // More than MAX_LOGGED bytes arrived; only the first MAX_LOGGED are kept.
  bool truncated = false;
  // The bridge reset the connection instead of closing it: it closed its
  // socket with bytes still unread, and the kernel dropped whatever it had
  // not yet delivered, so the last packet may be cut short.
  bool reset = false;

  static constexpr std::size_t MAX_LOGGED = 4 << 20;
};

class fake_scanner {
 public:
  // Listens on a port the system chooses and starts serving.
  fake_scanner();
  // Stops the thread and closes every socket.
  ~fake_scanner();
  fake_scanner(const fake_scanner&) = delete;
  fake_scanner& operator=(const fake_scanner&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:port", the address a session is given.
  std::string address() const;

  // The script of the next connection that has none yet, in accept order.
  void queue_script(bytes script);
  // The script of every connection that finds no queued one.
  void set_fallback(bytes script);

  // Waits until the bridge has closed every connection it made, then returns
  // what it sent on each, in accept order, and forgets them. Scripts still
  // queued are dropped.
  std::vector<connection_log> finish();

 private:
  struct connection;

  void run_();
  void accept_all_(std::vector<connection>& open, std::vector<connection_log>& logs);
  static void write_more_(connection& c);
  // False once the connection is over and its socket closed.
  static bool read_more_(connection& c, std::vector<connection_log>& logs);
  void wake_();

  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  int port_ = 0;

  std::mutex mutex_;
  std::condition_variable finished_cv_;
  std::deque<bytes> scripts_;
  bytes fallback_;
  bool finishing_ = false;
  bool finished_ = false;
  bool stopping_ = false;
  std::vector<connection_log> finished_logs_;

  std::thread thread_;
};

}  // namespace scanbridge::fuzz

#endif  // SCANBRIDGE_FUZZ_SUPPORT_FAKE_SCANNER_H_
