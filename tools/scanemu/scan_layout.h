// SPDX-License-Identifier: MIT
// How a scan is cut into data blocks: the information block that announces
// it, and the transfer request an IS peer must send back for it.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_SCAN_LAYOUT_H_
#define SCANBRIDGE_TOOLS_SCANEMU_SCAN_LAYOUT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scanbridge::tools::scanemu {

inline constexpr std::size_t INFO_BLOCK_SIZE = 14;
// Information block status: the scan cannot start.
inline constexpr std::uint8_t SCAN_STATUS_FATAL = 0x80;

struct scan_layout {
  std::uint32_t block_size = 0;
  // Full blocks before the last one.
  std::uint32_t block_count = 0;
  std::uint32_t last_block_size = 0;

  std::uint64_t blocks() const { return std::uint64_t{block_count} + 1; }
  std::uint32_t size_of(std::uint64_t index) const {
    return index < block_count ? block_size : last_block_size;
  }
};

// Cuts an image into full blocks of block_size bytes and a last block of 1 to
// block_size bytes. Nothing for an empty image, a block size of 0, or more
// blocks than the information block can count.
std::optional<scan_layout> plan_scan(std::uint64_t image_bytes, std::uint32_t block_size);

// STX, status, then block size, block count and last block size as LE32.
// Without a layout: status SCAN_STATUS_FATAL and zero sizes.
std::array<std::uint8_t, INFO_BLOCK_SIZE> info_block(const std::optional<scan_layout>& layout);

// The transfer request that fits the layout (28, 29 or 30 bytes, without the
// 8-byte chunk prefix that carries it).
std::vector<std::uint8_t> transfer_request(const scan_layout& layout);

// Checks a transfer packet's payload (chunk prefix and request) against the
// layout announced. Empty when it fits, else every mismatch, field by field.
std::string check_transfer_request(const scan_layout& layout, const std::uint8_t* payload,
                                   std::size_t n);

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_SCAN_LAYOUT_H_
