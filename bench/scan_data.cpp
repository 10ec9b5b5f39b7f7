// SPDX-License-Identifier: MIT
#include "bench/scan_data.h"

#include <cstring>

namespace scanbridge::bench {

scan_shape shape_of_blocks(std::uint32_t block_size, std::uint64_t blocks) {
  scan_shape shape;
  shape.block_size = block_size;
  shape.last_block_size = block_size / 2;
  shape.block_count = static_cast<std::uint32_t>(blocks > 2 ? blocks - 1 : 1);
  return shape;
}

scan_shape shape_for(std::uint32_t block_size, std::uint64_t total_bytes) {
  return shape_of_blocks(block_size, total_bytes / block_size);
}

void encode_info_block(std::uint8_t* out, const scan_shape& shape) {
  out[0] = STX;
  out[1] = 0;
  put_le32(out + 2, shape.block_size);
  put_le32(out + 6, shape.block_count);
  put_le32(out + 10, shape.last_block_size);
}

block_image::block_image(std::uint32_t wire_size)
    : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(wire_size)), size_(wire_size) {
  for (std::uint32_t i = 0; i < wire_size; ++i) {
    // Never 0 between the stamp and the status byte, so a lost or shifted
    // byte shows.
    bytes_[i] = static_cast<std::uint8_t>(1 + (i * 7u + i / 251u) % 255u);
  }
  bytes_[wire_size - 1] = 0;
  stamp(0);
}

std::size_t encode_transfer_request(std::uint8_t* out, const scan_shape& shape) {
  // A count N, then three steps, each (bytes to send, reply size, bytes):
  //   N >= 2: N | 0 B | 1 B 06 | 1 L 06       (30 bytes)
  //   N == 1: 1 | 0 B | 0 0    | 1 L 06       (29 bytes)
  //   N == 0: 0 | 0 0 | 0 0    | 0 L          (28 bytes)
  // with B and L the full and last block sizes with their status bytes.
  const std::uint32_t n = shape.block_count;
  const std::uint32_t full = shape.block_size + 1;
  const std::uint32_t last = shape.last_block_size + 1;
  const std::size_t length = n >= 2 ? 30 : n == 1 ? 29 : 28;
  std::memset(out, 0, IS_PREFIX_SIZE + length);
  encode_is_prefix(out, static_cast<std::uint32_t>(length), 0);
  std::uint8_t* p = out + IS_PREFIX_SIZE;
  if (n >= 2) {
    put_be32(p + 0, n);
    put_be32(p + 8, full);
    put_be32(p + 12, 1);
    put_be32(p + 16, full);
    p[20] = ACK;
    put_be32(p + 21, 1);
    put_be32(p + 25, last);
    p[29] = ACK;
  } else if (n == 1) {
    put_be32(p + 0, 1);
    put_be32(p + 8, full);
    put_be32(p + 20, 1);
    put_be32(p + 24, last);
    p[28] = ACK;
  } else {
    put_be32(p + 24, last);
  }
  return IS_PREFIX_SIZE + length;
}

}  // namespace scanbridge::bench
