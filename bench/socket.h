// SPDX-License-Identifier: MIT
// Loopback sockets and the buffered frame reader every party of the harness
// uses: the driver, the in-harness scanner and the ideal relay.
#ifndef SCANBRIDGE_BENCH_SOCKET_H_
#define SCANBRIDGE_BENCH_SOCKET_H_

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tools/common/unique_fd.h"

namespace scanbridge::bench {

using tools::unique_fd;

// A listening socket on 127.0.0.1 with a port the system chooses, stored in
// *port. Invalid on failure.
unique_fd listen_loopback(int* port);

// Waits at most timeout_ms for a peer on the listening socket.
unique_fd accept_within(int listen_fd, int timeout_ms);

// Connects to 127.0.0.1:port. Invalid on failure.
unique_fd connect_loopback(int port);

// Harness sockets send whole messages in one call, so Nagle's algorithm can
// only delay them.
void set_no_delay(int fd);

// Bounds every blocking read and write, so that a stuck peer fails a run
// instead of hanging it.
void set_io_timeout(int fd, int seconds);

// Writes all bytes (send with MSG_NOSIGNAL, repeated on short writes).
bool write_all(int fd, const void* bytes, std::size_t count);

// Writes all bytes of the vector (sendmsg, repeated on short writes).
bool write_all(int fd, iovec* parts, int count);

// Reads exactly count bytes (recv with MSG_WAITALL, repeated if cut short).
bool read_exact(int fd, void* bytes, std::size_t count);

// One whole frame in a stream_reader's buffer: valid until the next call on
// that reader.
struct frame {
  const std::uint8_t* header = nullptr;
  const std::uint8_t* payload = nullptr;
  std::uint32_t length = 0;
};

// Reads frames from a socket into one reused buffer. A small frame usually
// costs one recv, which takes whatever is queued; a large payload is read in
// place with MSG_WAITALL. Nothing is allocated per frame once the buffer has
// grown to the largest frame seen.
class stream_reader {
 public:
  explicit stream_reader(int fd, std::size_t initial_capacity = 64 * 1024);

  // A driver link message (16-byte header). False at end of stream or on error.
  bool next_link_message(frame* out);
  // A scanner packet (12-byte header). False at end of stream or on error.
  bool next_packet(frame* out);
  // Exactly count raw bytes: first those already buffered, then straight from
  // the socket into dst.
  bool read_into(std::uint8_t* dst, std::size_t count);

 private:
  bool next_(std::size_t header_size, std::size_t length_offset, frame* out);
  bool fill_(std::size_t need);
  void reserve_(std::size_t need);

  int fd_;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t capacity_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_SOCKET_H_
