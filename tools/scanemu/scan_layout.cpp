// SPDX-License-Identifier: MIT
#include "tools/scanemu/scan_layout.h"

#include <limits>

#include "tools/scanemu/packet.h"

namespace scanbridge::tools::scanemu {
namespace {

// One field of the transfer request: 4-byte big-endian words and the ACK
// bytes that end the steps that send something.
struct request_field {
  std::size_t offset;
  std::size_t width;
  std::uint32_t value;
  const char* name;
};

// The request is a block count and three steps, each [send count][reply
// size][bytes to send]: the fetch of the first block, the fetch of every
// further full block after an ACK, and the fetch of the last block after an
// ACK. Steps that do not apply to the layout are left zero.
std::vector<request_field> request_fields(const scan_layout& layout) {
  const std::uint32_t n = layout.block_count;
  const std::uint32_t block = layout.block_size + 1;
  const std::uint32_t last = layout.last_block_size + 1;
  if (n >= 2) {
    return {{0, 4, n, "block count"},
            {4, 4, 0, "step 1 send count"},
            {8, 4, block, "step 1 reply size"},
            {12, 4, 1, "step 2 send count"},
            {16, 4, block, "step 2 reply size"},
            {20, 1, ACK, "step 2 byte"},
            {21, 4, 1, "step 3 send count"},
            {25, 4, last, "step 3 reply size"},
            {29, 1, ACK, "step 3 byte"}};
  }
  if (n == 1) {
    return {{0, 4, 1, "block count"},           {4, 4, 0, "step 1 send count"},
            {8, 4, block, "step 1 reply size"}, {12, 4, 0, "step 2 send count"},
            {16, 4, 0, "step 2 reply size"},    {20, 4, 1, "step 3 send count"},
            {24, 4, last, "step 3 reply size"}, {28, 1, ACK, "step 3 byte"}};
  }
  return {{0, 4, 0, "block count"},          {4, 4, 0, "step 1 send count"},
          {8, 4, 0, "step 1 reply size"},    {12, 4, 0, "step 2 send count"},
          {16, 4, 0, "step 2 reply size"},   {20, 4, 0, "step 3 send count"},
          {24, 4, last, "step 3 reply size"}};
}

std::size_t request_size(const scan_layout& layout) {
  return layout.block_count >= 2 ? 30 : layout.block_count == 1 ? 29 : 28;
}

std::uint32_t read_field(const std::uint8_t* p, const request_field& field) {
  return field.width == 1 ? p[field.offset] : get_be32(p + field.offset);
}

}  // namespace

std::optional<scan_layout> plan_scan(std::uint64_t image_bytes, std::uint32_t block_size) {
  if (image_bytes == 0 || block_size == 0) return std::nullopt;
  scan_layout layout;
  layout.block_size = block_size;
  const std::uint64_t full = (image_bytes - 1) / block_size;
  if (full > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  layout.block_count = static_cast<std::uint32_t>(full);
  layout.last_block_size = static_cast<std::uint32_t>(image_bytes - full * block_size);
  return layout;
}

std::array<std::uint8_t, INFO_BLOCK_SIZE> info_block(const std::optional<scan_layout>& layout) {
  std::array<std::uint8_t, INFO_BLOCK_SIZE> block{};
  block[0] = STX;
  if (!layout) {
    block[1] = SCAN_STATUS_FATAL;
    return block;
  }
  put_le32(block.data() + 2, layout->block_size);
  put_le32(block.data() + 6, layout->block_count);
  put_le32(block.data() + 10, layout->last_block_size);
  return block;
}

std::vector<std::uint8_t> transfer_request(const scan_layout& layout) {
  std::vector<std::uint8_t> request(request_size(layout));
  for (const request_field& field : request_fields(layout)) {
    if (field.width == 1) {
      request[field.offset] = static_cast<std::uint8_t>(field.value);
    } else {
      put_be32(request.data() + field.offset, field.value);
    }
  }
  return request;
}

std::string check_transfer_request(const scan_layout& layout, const std::uint8_t* payload,
                                   std::size_t n) {
  const std::size_t expected = request_size(layout);
  if (n < 8) return "only " + std::to_string(n) + " bytes, not even the 8-byte chunk prefix";
  std::string errors;
  auto mismatch = [&errors](const std::string& text) {
    if (!errors.empty()) errors += "; ";
    errors += text;
  };
  const std::uint32_t length = get_be32(payload);
  const std::uint32_t reply_size = get_be32(payload + 4);
  if (length != n - 8) {
    mismatch("chunk prefix announces " + std::to_string(length) + " bytes but " +
             std::to_string(n - 8) + " follow");
  }
  if (reply_size != 0)
    mismatch("chunk prefix reply size is " + std::to_string(reply_size) + ", expected 0");
  if (n - 8 != expected) {
    mismatch("request is " + std::to_string(n - 8) + " bytes, expected " +
             std::to_string(expected) + " for " + std::to_string(layout.block_count) +
             " full blocks");
    return errors;
  }
  for (const request_field& field : request_fields(layout)) {
    const std::uint32_t got = read_field(payload + 8, field);
    if (got != field.value) {
      mismatch(std::string(field.name) + " (byte " + std::to_string(field.offset) + ") is " +
               std::to_string(got) + ", expected " + std::to_string(field.value));
    }
  }
  return errors;
}

}  // namespace scanbridge::tools::scanemu
