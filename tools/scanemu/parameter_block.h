// SPDX-License-Identifier: MIT
// The 1176-byte parameter block in which an NT peer sends one setting: an
// 8-byte flag bitmap naming the setting, and the value at that setting's
// place in the block. The scanner answers with an 8-byte status bitmap laid
// out like the flags, a set bit meaning refused.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_PARAMETER_BLOCK_H_
#define SCANBRIDGE_TOOLS_SCANEMU_PARAMETER_BLOCK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace scanbridge::tools::scanemu {

inline constexpr std::size_t PARAMETER_BLOCK_SIZE = 1176;
inline constexpr std::size_t FLAG_BYTES = 8;

using flag_bitmap = std::array<std::uint8_t, FLAG_BYTES>;

struct block_setting {
  std::uint8_t letter;
  std::uint8_t flag_byte;
  std::uint8_t flag_bit;
  std::uint16_t offset;
  std::uint16_t size;
};

// Where each setting lives. 'z' is the first of four colour tables; the
// others follow at 256-byte steps, flagged by bits 1 to 3 of the same byte.
inline constexpr block_setting BLOCK_SETTINGS[] = {
    {'D', 0, 0, 8, 1},     {'C', 0, 1, 9, 1},     {'K', 0, 2, 10, 1},    {'L', 1, 0, 16, 1},
    {'Z', 1, 1, 17, 1},    {'Q', 1, 2, 18, 1},    {'B', 2, 0, 24, 1},    {'s', 2, 1, 25, 1},
    {'M', 2, 2, 26, 1},    {'t', 2, 3, 27, 1},    {'g', 3, 0, 32, 1},    {'d', 3, 1, 33, 1},
    {'N', 3, 3, 35, 1},    {'R', 4, 0, 40, 4},    {'H', 4, 1, 44, 2},    {'A', 4, 2, 46, 8},
    {'m', 4, 3, 54, 9},    {'z', 6, 0, 152, 256}, {'z', 6, 1, 408, 256}, {'z', 6, 2, 664, 256},
    {'z', 6, 3, 920, 256},
};

// One setting found in a block. For 'z' the value starts with the colour
// letter of its table ('R', 'G', 'B' or 'M'), then the 256 table bytes.
struct block_parameter {
  std::uint8_t letter;
  std::uint8_t flag_byte;
  std::uint8_t flag_bit;
  std::vector<std::uint8_t> value;
};

struct decoded_block {
  std::vector<block_parameter> parameters;
  // Flags that name no setting.
  flag_bitmap unknown{};
};

// Decodes a block of PARAMETER_BLOCK_SIZE bytes.
decoded_block decode_parameter_block(const std::uint8_t* block);

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_PARAMETER_BLOCK_H_
