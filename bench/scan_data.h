// SPDX-License-Identifier: MIT
// The shape and the contents of a benchmark scan, known to the scanner that
// sends it and to the driver that checks what arrives.
#ifndef SCANBRIDGE_BENCH_SCAN_DATA_H_
#define SCANBRIDGE_BENCH_SCAN_DATA_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bench/bytes.h"

namespace scanbridge::bench {

// What the information block announces: block_count full blocks of
// block_size bytes, then one block of last_block_size bytes. Every data block
// carries one status byte more.
struct scan_shape {
  std::uint32_t block_size = 0;
  std::uint32_t block_count = 0;
  std::uint32_t last_block_size = 0;

  std::uint64_t blocks() const { return std::uint64_t{block_count} + 1; }
  // Bytes the driver receives in data blocks, status bytes included.
  std::uint64_t data_bytes() const {
    return std::uint64_t{block_count} * (block_size + 1) + (last_block_size + 1);
  }
  // Size of data block i (from 0) as it travels, status byte included.
  std::uint32_t wire_size(std::uint64_t i) const {
    return (i < block_count ? block_size : last_block_size) + 1;
  }
  std::uint32_t largest_block() const {
    return (block_size > last_block_size ? block_size : last_block_size) + 1;
  }
};

// blocks data blocks of block_size (at least 2), the last one half a block.
scan_shape shape_of_blocks(std::uint32_t block_size, std::uint64_t blocks);

// About total_bytes of data in blocks of block_size, the last one half a block.
scan_shape shape_for(std::uint32_t block_size, std::uint64_t total_bytes);

// The 14-byte information block for the shape, status 0.
void encode_info_block(std::uint8_t* out, const scan_shape& shape);

// The block contents: a fixed pattern with the block's index stamped
// little-endian into its first four bytes and the status byte 0 at the end.
// A block is made once and restamped for each index, so sending costs no
// per-byte work.
class block_image {
 public:
  explicit block_image(std::uint32_t wire_size);
  void stamp(std::uint64_t index) { put_le32(bytes_.get(), static_cast<std::uint32_t>(index)); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::uint8_t* data() { return bytes_.get(); }
  std::uint32_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::uint32_t size_;
};

// The index stamped into a received block.
inline std::uint32_t block_index(const std::uint8_t* block) {
  return get_le32(block);
}

// The IS transfer request the bridge must send for the shape, with its 8-byte
// prefix, into out (at least 38 bytes); returns its length.
std::size_t encode_transfer_request(std::uint8_t* out, const scan_shape& shape);

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_SCAN_DATA_H_
