// SPDX-License-Identifier: MIT
// The in-harness network scanner: a thread that serves one connection in
// either variant, answers ESC @ at once and streams a scan from prebuilt
// blocks, one vectored write per block.
#ifndef SCANBRIDGE_BENCH_SCANNER_SIM_H_
#define SCANBRIDGE_BENCH_SCANNER_SIM_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "bench/bytes.h"
#include "bench/scan_data.h"
#include "bench/socket.h"

namespace scanbridge::bench {

class scanner_sim {
 public:
  // Listens on a loopback port at once; serves nothing before start().
  scanner_sim(variant v, const scan_shape& shape);
  ~scanner_sim();
  scanner_sim(const scanner_sim&) = delete;
  scanner_sim& operator=(const scanner_sim&) = delete;

  bool listening() const { return static_cast<bool>(listener_); }
  int port() const { return port_; }
  std::string uri() const;

  // Serves one connection on a thread of its own, until the peer closes it.
  void start();
  // Waits for the connection to end. Returns "" or the first fault seen on
  // the link: an unexpected packet, a byte that differs from what the bridge
  // must send, a write that failed.
  std::string finish();
  // The streaming thread's CPU time over the wall time of the last scan it
  // streamed (after finish()): well below 1 means it waited for its reader.
  double busy() const { return busy_; }

 private:
  void serve_();
  bool open_session_(int fd, stream_reader& in);
  bool handle_(int fd, stream_reader& in, const frame& f);
  bool send_packet_(int fd, std::uint8_t type, std::uint8_t flag, const std::uint8_t* payload,
                    std::uint32_t length);
  bool stream_scan_(int fd, std::uint8_t type);
  bool fault_(std::string text);

  variant variant_;
  scan_shape shape_;
  block_image full_;
  block_image last_;
  int port_ = 0;  // before listener_, which sets it
  unique_fd listener_;
  std::thread thread_;
  std::string fault_text_;
  double busy_ = 0;
};

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_SCANNER_SIM_H_
