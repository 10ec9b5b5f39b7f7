// SPDX-License-Identifier: MIT
#include "bridge/link.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "bridge/process.h"
#include "net/endpoint.h"
#include "net/wake.h"

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

int as_wait_ms(std::chrono::milliseconds timeout) {
  return timeout.count() > 0 ? static_cast<int>(timeout.count()) : -1;
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

link_reader::link_reader(int fd, std::chrono::milliseconds timeout)
    : fd_(fd), timeout_ms_(as_wait_ms(timeout)) {}

bool link_reader::wait_() {
  const std::int64_t deadline = deadline_after(timeout_ms_);
  for (;;) {
    switch (wait_for(fd_, POLLIN, time_left(deadline))) {
      case wait_result::READY:
        return true;
      case wait_result::WOKEN:
        // Drained first, tested second: a SIGHUP that lands in between is
        // seen here, and one that lands later wakes the next wait.
        clear_wake();
        if (hangup_requested) return false;
        // A SIGTERM or SIGINT: it takes effect once this message has been
        // dispatched, so the wait goes on for the time left.
        continue;
      case wait_result::TIMED_OUT:
      case wait_result::FAILED:
        return false;
    }
  }
}

std::int64_t link_reader::read_some_(std::uint8_t* out, std::size_t max) {
  for (;;) {
    if (!wait_()) return -1;
    const ssize_t n = ::read(fd_, out, max);
    if (n > 0) return n;
    if (n == 0) return -2;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

std::int64_t link_reader::fill_(std::size_t count) {
  if (held_() >= count) return static_cast<std::int64_t>(count);
  if (begin_ > 0) {
    // Room at the end for the rest of a message that began near it.
    std::memmove(buffer_, buffer_ + begin_, held_());
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < count) {
    const std::int64_t n = read_some_(buffer_ + end_, sizeof buffer_ - end_);
    if (n < 0) return n;
    end_ += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(count);
}

std::int64_t link_reader::read_exact_(std::uint8_t* out, std::size_t count) {
  std::size_t done = std::min(count, held_());
  std::memcpy(out, buffer_ + begin_, done);
  begin_ += done;
  // The rest goes straight to its place: nothing of a later message is read
  // ahead into a payload.
  while (done < count) {
    const std::int64_t n = read_some_(out + done, count - done);
    if (n < 0) return n;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(count);
}

std::int64_t link_reader::skip_(std::size_t count) {
  const std::size_t held = std::min(count, held_());
  begin_ += held;
  count -= held;
  // Larger than the read-ahead: a payload of gigabytes is dropped in a
  // number of reads the bridge can afford.
  std::uint8_t scrap[65536];
  while (count > 0) {
    const std::int64_t n = read_some_(scrap, std::min(count, sizeof scrap));
    if (n < 0) return n;
    count -= static_cast<std::size_t>(n);
  }
  return 0;
}

std::int64_t link_reader::read_message(std::uint32_t* id, std::uint32_t* kind,
                                       payload_block* payload) {
  const std::int64_t got = fill_(LINK_HEADER_SIZE);
  if (got < 0) {
    // What arrived of the header is dropped with it.
    begin_ = end_ = 0;
    return got;
  }
  const link_header header = link_header::decode(buffer_ + begin_);
  begin_ += LINK_HEADER_SIZE;
  *id = header.id;
  *kind = header.kind;
  if (header.length == 0) return 0;
  // The payload stays unread when it has nowhere to go: the next message
  // starts with its first byte.
  if (payload == nullptr) return -1;
  // Zero-filled, so a payload cut short by an error never exposes stale heap.
  payload_block block(static_cast<std::uint8_t*>(std::calloc(header.length, 1)));
  if (!block) {
    // No room for it: the message fails, but its bytes are read and
    // dropped, so that the next message is taken from its own header.
    const std::int64_t skipped = skip_(header.length);
    return skipped == -2 ? -2 : -1;
  }
  const std::int64_t result = read_exact_(block.get(), header.length);
  if (result < 0) begin_ = end_ = 0;
  *payload = std::move(block);
  return result;
}

std::int64_t write_message(int fd, std::uint32_t id, std::int32_t status, std::uint32_t length,
                           const std::uint8_t* payload, std::chrono::milliseconds timeout) {
  std::uint8_t raw[LINK_HEADER_SIZE];
  link_header{id, 0, static_cast<std::uint32_t>(status), length}.encode(raw);
  if (length != 0 && payload == nullptr) {
    // A payload announced but not given: the header goes out all the same
    // and the message fails.
    send_all(fd, raw, sizeof raw, nullptr, 0, as_wait_ms(timeout));
    return -1;
  }
  // Header and payload in one write, so the driver never waits on a lone
  // header for the delayed acknowledgement.
  const std::int64_t sent = send_all(fd, raw, sizeof raw, payload, length, as_wait_ms(timeout));
  if (sent < static_cast<std::int64_t>(sizeof raw)) return -1;
  return sent - static_cast<std::int64_t>(sizeof raw);
}

bool write_replies(int fd, std::uint32_t id, std::int32_t status, chunk_queue* queue,
                   std::chrono::milliseconds timeout) {
  // Bounded batches keep everything on the stack; one batch covers the
  // replies of any single command.
  constexpr std::size_t BATCH = 16;
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
    if (send_all(fd, parts, 2 * n, as_wait_ms(timeout)) != static_cast<std::int64_t>(total)) {
      // A message may have gone out in part: anything written after it
      // would be read as the rest of it.
      while (!queue->empty()) queue->pop();
      return false;
    }
  }
  return true;
}

}  // namespace scanbridge
