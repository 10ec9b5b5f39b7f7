// SPDX-License-Identifier: MIT
// The driver side of every measurement: one client link to a relay (the
// bridge or the ideal relay, driven by the very same code), and the direct
// reader of a scanner's stream that gives the limit.
#ifndef SCANBRIDGE_BENCH_DRIVER_H_
#define SCANBRIDGE_BENCH_DRIVER_H_

#include <cstdint>
#include <string>

#include "bench/bytes.h"
#include "bench/scan_data.h"
#include "bench/socket.h"

namespace scanbridge::bench {

struct scan_result {
  std::uint64_t bytes = 0;         // data block bytes received, status bytes included
  std::uint64_t blocks = 0;        // data blocks received
  double seconds = 0;              // from sending FS G to the last block received
  double first_block_seconds = 0;  // from sending FS G to the first block
  std::uint64_t first_block_bytes = 0;
  double busy = 0;         // the driver thread's CPU time / the scan's time
  bool cut_short = false;  // the time ran out before the last block
  bool stalled = false;    // a reply did not come within reply_timeout(); the
                           // figures then cover the blocks before the stall
  std::string fault;       // "" when every block arrived as sent
};

// A relay that leaves the driver this many seconds without the reply it
// waits for has stalled: on loopback a reply takes microseconds to
// milliseconds. Set once, before the first driver_link is made.
void set_reply_timeout(int seconds);
int reply_timeout();

struct round_trip_result {
  std::uint64_t count = 0;
  double seconds = 0;
  std::string fault;
};

// One driver connection. Each message goes out in one send; each reply is
// read into one reused buffer (usually one recv for header and payload).
class driver_link {
 public:
  explicit driver_link(int port);
  bool connected() const { return static_cast<bool>(fd_); }

  // OPEN; *id is the new device id.
  bool open_device(const std::string& uri, std::uint32_t* id, std::string* fault);
  // CLOSE: no reply.
  bool close_device(std::uint32_t id);

  // A scan with one ACK per block, as a driver sends. With verify, every
  // byte of every block is compared with what the scanner sent; otherwise
  // each block's size, index stamp and status byte are checked. Once
  // max_seconds have gone by the driver stops acknowledging: the scan is cut
  // short, and the caller ends the link (as a driver that gives up does).
  scan_result scan(std::uint32_t id, const scan_shape& shape, bool verify, double max_seconds);
  // count ESC @ commands, each answered by one reply [06]; fewer when
  // max_seconds have gone by first.
  round_trip_result round_trips(std::uint32_t id, std::uint64_t count, double max_seconds);

  void disconnect() { fd_.reset(); }

 private:
  bool send_data_(std::uint32_t id, const std::uint8_t* bytes, std::uint32_t n);
  bool reply_(frame* out, std::string* fault, bool* stalled = nullptr);

  unique_fd fd_;
  stream_reader in_;
};

// The limit: the scanner's NT stream read straight by the client, one read
// per block (header and block together), without any relay between; cut
// short like scan() after max_seconds.
scan_result direct_scan(int scanner_port, const scan_shape& shape, bool verify, double max_seconds);

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_DRIVER_H_
