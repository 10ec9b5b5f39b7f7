// SPDX-License-Identifier: MIT
#include "tools/scanemu/parameter_block.h"

#include <algorithm>

namespace scanbridge::tools::scanemu {

decoded_block decode_parameter_block(const std::uint8_t* block) {
  static constexpr std::uint8_t kColours[] = {'R', 'G', 'B', 'M'};
  decoded_block decoded;
  for (std::size_t i = 0; i < FLAG_BYTES; ++i) decoded.unknown[i] = block[i];
  for (const block_setting& setting : BLOCK_SETTINGS) {
    const auto bit = static_cast<std::uint8_t>(1u << setting.flag_bit);
    if ((block[setting.flag_byte] & bit) == 0) continue;
    decoded.unknown[setting.flag_byte] &= static_cast<std::uint8_t>(~bit);
    const std::size_t lead = setting.letter == 'z' ? 1 : 0;
    std::vector<std::uint8_t> value(lead + setting.size);
    if (lead != 0) value[0] = kColours[setting.flag_bit];
    std::copy_n(block + setting.offset, setting.size, value.begin() + lead);
    decoded.parameters.push_back(
        {setting.letter, setting.flag_byte, setting.flag_bit, std::move(value)});
  }
  return decoded;
}

}  // namespace scanbridge::tools::scanemu
