// SPDX-License-Identifier: MIT
#include "tools/scanclient/scan_protocol.h"

#include "tools/common/byte_order.h"
#include "tools/common/scan_format.h"

namespace scanbridge::tools {

bool parse_var_head(std::span<const std::uint8_t> bytes, var_head* head) {
  if (bytes.size() != VAR_HEAD_SIZE || bytes[0] != STX) return false;
  head->status = bytes[1];
  head->length = get_le16(&bytes[2]);
  return true;
}

bool parse_info_block(std::span<const std::uint8_t> bytes, info_block* info) {
  if (bytes.size() != INFO_BLOCK_SIZE || bytes[0] != STX) return false;
  info->status = bytes[1];
  info->block_size = get_le32(&bytes[2]);
  info->block_count = get_le32(&bytes[6]);
  info->last_block_size = get_le32(&bytes[10]);
  return true;
}

std::vector<std::uint8_t> encode_info_block(const info_block& info) {
  std::vector<std::uint8_t> bytes(INFO_BLOCK_SIZE);
  bytes[0] = STX;
  bytes[1] = info.status;
  put_le32(&bytes[2], info.block_size);
  put_le32(&bytes[6], info.block_count);
  put_le32(&bytes[10], info.last_block_size);
  return bytes;
}

block_tracker::block_tracker(const info_block& info) : info_(info), remaining_(info.block_count) {}

block_verdict block_tracker::next(std::uint64_t reply_size, std::uint8_t status) {
  // Sizes compare as the bridge compares them, modulo 2^32.
  const std::uint32_t full = info_.block_size + 1;
  const std::uint32_t last = info_.last_block_size + 1;
  if (reply_size == 0 || reply_size > 0xFFFFFFFFu || (reply_size != full && reply_size != last)) {
    return block_verdict::WRONG_SIZE;
  }
  ++blocks_seen_;
  const std::uint32_t before = remaining_;
  --remaining_;  // wraps from 0, as the count on the bridge does
  if (status != 0) return status_continues(status) ? block_verdict::MORE : block_verdict::LAST;
  return reply_size == last && before == 0 ? block_verdict::LAST : block_verdict::MORE;
}

std::vector<std::uint8_t> colour_parameters(bool colour) {
  return {colour ? COLOUR_RGB : COLOUR_GREY};
}

std::vector<std::uint8_t> depth_parameters(std::uint8_t bits) {
  return {bits};
}

std::vector<std::uint8_t> resolution_parameters(std::uint16_t x_dpi, std::uint16_t y_dpi) {
  std::vector<std::uint8_t> bytes(4);
  put_le16(&bytes[0], x_dpi);
  put_le16(&bytes[2], y_dpi);
  return bytes;
}

std::vector<std::uint8_t> area_parameters(std::uint16_t left, std::uint16_t top,
                                          std::uint16_t width, std::uint16_t height) {
  std::vector<std::uint8_t> bytes(8);
  std::size_t at = 0;
  for (const std::uint16_t value : {left, top, width, height}) {
    put_le16(&bytes[at], value);
    at += 2;
  }
  return bytes;
}

}  // namespace scanbridge::tools
