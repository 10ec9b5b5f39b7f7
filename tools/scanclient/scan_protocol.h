// SPDX-License-Identifier: MIT
// The parts of the scanner command language the client speaks: control bytes,
// the scan parameter blocks, the image information block and the rule that
// tells when a scan has delivered its last data block.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_SCAN_PROTOCOL_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_SCAN_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wire/codes.h"

namespace scanbridge::tools {

// The head of a variable-length reply: STX, a status byte and the number of
// data bytes that follow, little-endian.
inline constexpr std::size_t VAR_HEAD_SIZE = 4;

struct var_head {
  std::uint8_t status = 0;
  std::uint16_t length = 0;
};

// True when the bytes are a 4-byte head starting with STX.
bool parse_var_head(std::span<const std::uint8_t> bytes, var_head* head);

// The scanner's first answer to a scan command. Sizes exclude the status byte
// that ends every data block.
inline constexpr std::size_t INFO_BLOCK_SIZE = 14;

struct info_block {
  std::uint8_t status = 0;
  std::uint32_t block_size = 0;       // a full data block
  std::uint32_t block_count = 0;      // full blocks before the last one
  std::uint32_t last_block_size = 0;  // the last data block

  // Bits 7 or 6 of the status: the scanner does not start the scan.
  bool refused() const { return (status & 0xC0) != 0; }
  // Image bytes the scan delivers when it runs to its end.
  std::uint64_t total_bytes() const {
    return std::uint64_t{block_count} * block_size + last_block_size;
  }
};

// 14 bytes: STX, status, then block_size, block_count, last_block_size as
// little-endian u32.
bool parse_info_block(std::span<const std::uint8_t> bytes, info_block* info);
std::vector<std::uint8_t> encode_info_block(const info_block& info);

// A status byte that lets the scan go on whatever the block count says:
// bit 4 set, bits 7 and 6 clear.
inline bool status_continues(std::uint8_t status) {
  return (status & 0xD0) == 0x10;
}

enum class block_verdict {
  MORE,        // acknowledge it to get the next block
  LAST,        // the scan has ended with this block
  WRONG_SIZE,  // neither of the announced block sizes: the scan has ended
};

// Follows a scan block by block, as the bridge does, to know when it ends.
class block_tracker {
 public:
  explicit block_tracker(const info_block& info);

  // One reply of reply_size bytes whose last byte is status.
  block_verdict next(std::uint64_t reply_size, std::uint8_t status);

  std::uint32_t blocks_seen() const { return blocks_seen_; }
  // Blocks the scan announced, the last block included.
  std::uint64_t blocks_announced() const { return std::uint64_t{info_.block_count} + 1; }

 private:
  info_block info_;
  std::uint32_t remaining_;  // full blocks still to come before the last one
  std::uint32_t blocks_seen_ = 0;
};

// Parameter blocks of the scan settings (see tools/common/scan_format.h).
std::vector<std::uint8_t> colour_parameters(bool colour);
std::vector<std::uint8_t> depth_parameters(std::uint8_t bits);
std::vector<std::uint8_t> resolution_parameters(std::uint16_t x_dpi, std::uint16_t y_dpi);
std::vector<std::uint8_t> area_parameters(std::uint16_t left, std::uint16_t top,
                                          std::uint16_t width, std::uint16_t height);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_SCAN_PROTOCOL_H_
