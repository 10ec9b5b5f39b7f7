// Framed messages between the driver (the client) and the bridge.
//
// Every message is a 16-byte header of four big-endian 32-bit words (id, kind,
// status, length) followed by exactly length payload bytes. The same layout
// serves both directions; the bridge never reads the status word of a client
// message and always writes 0 as the kind of its replies.
#ifndef SCANBRIDGE_BRIDGE_LINK_H_
#define SCANBRIDGE_BRIDGE_LINK_H_

#include <sys/types.h>

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

// One read() with SIGTERM and SIGINT blocked, so that a stop request never
// interrupts it; returns read()'s result.
ssize_t read_masked(int fd, void* buf, std::size_t count);

// Writes all count bytes with SIGTERM and SIGINT blocked. Returns
// the bytes written (less than count if a call wrote nothing) or -1. A peer
// that reset the connection makes it fail; it never raises SIGPIPE.
std::int64_t write_all_masked(int fd, const void* buf, std::size_t count);

// Reads one message. Returns the payload length (0 for none, payload left
// untouched), -1 on a read error or time-out, -2 when the peer closed the
// connection. The payload is a zero-filled block of exactly length bytes; it is
// handed to the caller even when the read fails part-way. With no payload
// destination a message with a payload fails (-1) without reading it.
std::int64_t read_message(int fd, std::uint32_t* id, std::uint32_t* kind, payload_block* payload);

// Writes one message with kind 0. Returns the payload bytes written, 0 for a
// message without payload, or -1 when the header could not be written or a
// payload was announced but not given.
std::int64_t write_message(int fd, std::uint32_t id, std::int32_t status, std::uint32_t length,
                           const std::uint8_t* payload);

// Writes one message per chunk of the queue, in queue order, all with this
// id and status, and empties the queue; the arrays are released once written.
// The messages leave together in as few system calls as the kernel allows: a
// reply sent on its own right behind another would wait for the driver's
// delayed acknowledgement. Returns false when a write failed; the queue is
// emptied all the same.
bool write_replies(int fd, std::uint32_t id, std::int32_t status, chunk_queue* queue);

}  // namespace scanbridge

#endif  // SCANBRIDGE_BRIDGE_LINK_H_
