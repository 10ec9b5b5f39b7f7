#include "bridge/link.h"

#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>

#include "net/endpoint.h"

namespace scanbridge {

namespace {

void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t get_be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

// Blocks SIGTERM and SIGINT for its lifetime, so that a stop request never
// interrupts a link read or write in the middle; the signal is delivered when
// the call is over and the main loop notices it between messages.
class stop_signals_blocked {
 public:
  stop_signals_blocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~stop_signals_blocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  stop_signals_blocked(const stop_signals_blocked&) = delete;
  stop_signals_blocked& operator=(const stop_signals_blocked&) = delete;

 private:
  sigset_t previous_;
};

// Reads exactly count bytes: count, -1 on an error, -2 at end of stream.
// The caller blocks the stop signals.
std::int64_t read_all(int fd, std::uint8_t* buf, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, buf + done, count - done);
    if (n < 0) return -1;
    if (n == 0) return -2;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(count);
}

}  // namespace

void link_header::encode(std::uint8_t out[LINK_HEADER_SIZE]) const {
  put_be32(out, id);
  put_be32(out + 4, kind);
  put_be32(out + 8, status);
  put_be32(out + 12, length);
}

link_header link_header::decode(const std::uint8_t in[LINK_HEADER_SIZE]) {
  return link_header{get_be32(in), get_be32(in + 4), get_be32(in + 8), get_be32(in + 12)};
}

ssize_t read_masked(int fd, void* buf, std::size_t count) {
  stop_signals_blocked blocked;
  return ::read(fd, buf, count);
}

std::int64_t write_all_masked(int fd, const void* buf, std::size_t count) {
  stop_signals_blocked blocked;
  return send_all(fd, buf, count, nullptr, 0);
}

// The stop signals stay blocked for a whole message rather than for each
// system call: the handler only records the request, which the main loop
// reads between messages, so the effect is the same with fewer calls.

std::int64_t read_message(int fd, std::uint32_t* id, std::uint32_t* kind, payload_block* payload) {
  stop_signals_blocked blocked;
  std::uint8_t raw[LINK_HEADER_SIZE];
  const std::int64_t got = read_all(fd, raw, sizeof raw);
  if (got < 0) return got;
  const link_header header = link_header::decode(raw);
  *id = header.id;
  *kind = header.kind;
  if (header.length == 0) return 0;
  if (payload == nullptr) return -1;
  // Zero-filled, so a payload cut short by an error never exposes stale heap.
  payload_block block(static_cast<std::uint8_t*>(std::calloc(header.length, 1)));
  if (!block) return -1;
  const std::int64_t result = read_all(fd, block.get(), header.length);
  *payload = std::move(block);
  return result;
}

std::int64_t write_message(int fd, std::uint32_t id, std::int32_t status, std::uint32_t length,
                           const std::uint8_t* payload) {
  std::uint8_t raw[LINK_HEADER_SIZE];
  link_header{id, 0, static_cast<std::uint32_t>(status), length}.encode(raw);
  if (length != 0 && payload == nullptr) {
    // A payload announced but not given: the header goes out all the same
    // and the message fails.
    write_all_masked(fd, raw, sizeof raw);
    return -1;
  }
  stop_signals_blocked blocked;
  // Header and payload in one write, so the driver never waits on a lone
  // header for the delayed acknowledgement.
  const std::int64_t sent = send_all(fd, raw, sizeof raw, payload, length);
  if (sent < static_cast<std::int64_t>(sizeof raw)) return -1;
  return sent - static_cast<std::int64_t>(sizeof raw);
}

bool write_replies(int fd, std::uint32_t id, std::int32_t status, chunk_queue* queue) {
  // Bounded batches keep everything on the stack; one batch covers the
  // replies of any single command.
  constexpr std::size_t BATCH = 16;
  bool ok = true;
  while (!queue->empty()) {
    std::array<chunk, BATCH> batch;
    std::uint8_t headers[BATCH][LINK_HEADER_SIZE];
    iovec parts[2 * BATCH];
    std::size_t n = 0;
    std::size_t total = 0;
    for (; n < BATCH && !queue->empty(); ++n) {
      batch[n] = queue->pop();
      const auto length = static_cast<std::uint32_t>(batch[n].length);
      link_header{id, 0, static_cast<std::uint32_t>(status), length}.encode(headers[n]);
      parts[2 * n] = {headers[n], LINK_HEADER_SIZE};
      parts[2 * n + 1] = {batch[n].bytes.get(), length};
      total += LINK_HEADER_SIZE + length;
    }
    stop_signals_blocked blocked;
    if (send_all(fd, parts, 2 * n) != static_cast<std::int64_t>(total)) ok = false;
  }
  return ok;
}

}  // namespace scanbridge
