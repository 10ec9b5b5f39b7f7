// SPDX-License-Identifier: MIT
// Framed messages between the driver (the client) and the bridge.
//
// Every message is a 16-byte header of four big-endian 32-bit words (id, kind,
// status, length) followed by exactly length payload bytes. The same layout
// serves both directions; the bridge never reads the status word of a client
// message and always writes 0 as the kind of its replies.
#ifndef SCANBRIDGE_BRIDGE_LINK_H_
#define SCANBRIDGE_BRIDGE_LINK_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "commands/chunk.h"

namespace scanbridge {

inline constexpr std::size_t LINK_HEADER_SIZE = 16;

struct link_header {
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  std::uint32_t status = 0;
  std::uint32_t length = 0;

  void encode(std::uint8_t out[LINK_HEADER_SIZE]) const;
  static link_header decode(const std::uint8_t in[LINK_HEADER_SIZE]);
};

// A client payload: a block from calloc, released with free.
struct free_deleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
using payload_block = std::unique_ptr<std::uint8_t, free_deleter>;

// Time-out of the client link: the bound of each wait for the client's bytes
// or for room to send it replies, and of each wait for a client to connect.
inline constexpr std::chrono::seconds CLIENT_TIMEOUT{300};

// How many bytes one read of the client link may take in at most.
inline constexpr std::size_t LINK_READ_AHEAD = 4096;

// Reads the client's messages from one connection. Each read takes in
// whatever has arrived, up to LINK_READ_AHEAD bytes, so that a small message
// (a scan's ACK, a command) costs one read instead of one for its header and
// one for its payload; bytes that arrived behind it wait here for the next
// call.
//
// Each wait for the client's bytes lasts at most the time-out and ends at
// once on a SIGHUP (or the parent's death). A SIGTERM or SIGINT does not end
// it: the message in hand is still read whole, so that it can be dispatched
// before the bridge stops.
class link_reader {
 public:
  // Reads from fd, which stays the caller's. Each wait lasts at most timeout
  // (0: no bound).
  link_reader(int fd, std::chrono::milliseconds timeout);
  link_reader(const link_reader&) = delete;
  link_reader& operator=(const link_reader&) = delete;

  // Reads one message. Returns the payload length (0 for none, payload left
  // untouched), -1 on a read error, a time-out or a SIGHUP, -2 when the peer
  // closed the connection. The payload is a zero-filled block of exactly
  // length bytes; it is handed to the caller even when the read fails
  // part-way. A payload that cannot be allocated fails the message (-1) but
  // is read and dropped. With no payload destination a message with a
  // payload fails (-1) and its payload stays unread. After -1 the next call
  // starts a new header with whatever byte comes next.
  std::int64_t read_message(std::uint32_t* id, std::uint32_t* kind, payload_block* payload);

 private:
  // Makes the buffer hold at least count bytes (count <= LINK_READ_AHEAD):
  // count, -1 on an error, a time-out or a SIGHUP, -2 at end of stream.
  std::int64_t fill_(std::size_t count);
  // Reads count bytes into out, first those already in the buffer; the same
  // results as fill_().
  std::int64_t read_exact_(std::uint8_t* out, std::size_t count);
  // Waits, then reads what has arrived, up to max bytes: how many, -1 on an
  // error, a time-out or a SIGHUP, -2 at end of stream.
  std::int64_t read_some_(std::uint8_t* out, std::size_t max);
  // Reads and drops count bytes, first those already in the buffer: 0, or
  // the results of fill_().
  std::int64_t skip_(std::size_t count);
  // Waits until the client's bytes can be read. False on a time-out, an
  // error or a SIGHUP.
  bool wait_();
  // Bytes held and not yet handed out.
  std::size_t held_() const { return end_ - begin_; }

  int fd_;
  int timeout_ms_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint8_t buffer_[LINK_READ_AHEAD];
};

// Writes one message with kind 0. Returns the payload bytes written, 0 for a
// message without payload, or -1 when the header could not be written or a
// payload was announced but not given. A wait for room lasts at most timeout
// and ends at once when the waits are woken (a stop signal); the write fails
// then. A peer that reset the connection makes it fail; it never raises
// SIGPIPE.
std::int64_t write_message(int fd, std::uint32_t id, std::int32_t status, std::uint32_t length,
                           const std::uint8_t* payload,
                           std::chrono::milliseconds timeout = CLIENT_TIMEOUT);

// Writes one message per chunk of the queue, in queue order, all with this
// id and status, and empties the queue; the arrays are released once written.
// The messages leave together in as few system calls as the kernel allows: a
// reply sent on its own right behind another would wait for the driver's
// delayed acknowledgement. Waits as write_message does. Returns false when a
// write failed; nothing more is written then, since the driver would take it
// for the rest of a message cut short, and the queue is emptied all the
// same. After a failed write the link is over.
bool write_replies(int fd, std::uint32_t id, std::int32_t status, chunk_queue* queue,
                   std::chrono::milliseconds timeout = CLIENT_TIMEOUT);

}  // namespace scanbridge

#endif  // SCANBRIDGE_BRIDGE_LINK_H_
