// SPDX-License-Identifier: MIT
// Byte arrays that travel between the scanner session and the client link.
#ifndef SCANBRIDGE_COMMANDS_CHUNK_H_
#define SCANBRIDGE_COMMANDS_CHUNK_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

namespace scanbridge {

// An owned heap byte array. Ownership moves with the pointer: whoever holds
// it releases it.
using byte_array = std::unique_ptr<std::uint8_t[]>;

// A new array of n bytes whose contents are unspecified. The hot path (scan
// blocks) always fills what it allocates, so it never pays for a zero-fill.
inline byte_array new_bytes(std::size_t n) {
  return std::make_unique_for_overwrite<std::uint8_t[]>(n);
}

// A new array of n bytes, all zero.
inline byte_array new_zeroed_bytes(std::size_t n) { return std::make_unique<std::uint8_t[]>(n); }

// One piece of a command's traffic: bytes still to go to the scanner as a
// packet payload, or a reply for the client.
struct chunk {
  byte_array bytes;
  std::int64_t length = 0;
};

// First-in first-out queue of chunks. The queue owns the arrays it holds; a
// chunk taken out with pop() belongs to the caller, and destroying the queue
// releases whatever is still in it.
class chunk_queue {
 public:
  chunk_queue() = default;
  chunk_queue(const chunk_queue&) = delete;
  chunk_queue& operator=(const chunk_queue&) = delete;
  chunk_queue(chunk_queue&&) = default;
  chunk_queue& operator=(chunk_queue&&) = default;

  void push(chunk c) { chunks_.push_back(std::move(c)); }
  void push(byte_array bytes, std::int64_t length) {
    chunks_.push_back(chunk{std::move(bytes), length});
  }
  // Precondition: !empty().
  const chunk& front() const { return chunks_.front(); }
  // Removes the front chunk and hands it to the caller. Precondition: !empty().
  chunk pop() {
    chunk c = std::move(chunks_.front());
    chunks_.pop_front();
    return c;
  }
  bool empty() const { return chunks_.empty(); }
  std::size_t size() const { return chunks_.size(); }

 private:
  std::deque<chunk> chunks_;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_CHUNK_H_
