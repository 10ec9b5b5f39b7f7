// SPDX-License-Identifier: MIT
// Reads a fuzz input from the front, one field at a time. Reading past the end
// yields zeros and empty spans, so every input decodes to something.
#ifndef SCANBRIDGE_FUZZ_SUPPORT_INPUT_H_
#define SCANBRIDGE_FUZZ_SUPPORT_INPUT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace scanbridge::fuzz {

using bytes = std::vector<std::uint8_t>;

class input {
 public:
  input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  std::size_t remaining() const { return size_ - at_; }

  std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }

  // Big-endian.
  std::uint16_t u16() {
    const auto high = byte();
    return static_cast<std::uint16_t>(high << 8 | byte());
  }
  std::uint32_t u32() {
    const std::uint32_t high = u16();
    return high << 16 | u16();
  }

  // A length: one byte, or 255 followed by two more bytes for longer ones.
  std::size_t length() {
    const std::uint8_t first = byte();
    return first == 255 ? std::size_t{u16()} : std::size_t{first};
  }

  // Up to n bytes; fewer when the input runs out.
  bytes take(std::size_t n) {
    n = std::min(n, remaining());
    bytes out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }
  bytes rest() { return take(remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace scanbridge::fuzz

#endif  // SCANBRIDGE_FUZZ_SUPPORT_INPUT_H_
