// SPDX-License-Identifier: MIT
#include "tools/scanemu/scanner_model.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "tools/scanemu/packet.h"

namespace scanbridge::tools::scanemu {
namespace {

constexpr std::uint32_t kAutoBlockBytes = 64 * 1024;

std::vector<std::uint8_t> variable_reply(const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> reply(4 + data.size());
  reply[0] = STX;
  put_le16(reply.data() + 2, static_cast<std::uint16_t>(data.size()));
  std::copy(data.begin(), data.end(), reply.begin() + 4);
  return reply;
}

const char* variant_name(variant v) {
  return v == variant::NT ? "NT" : "IS";
}

bool parse_u32(std::string_view text, std::uint32_t min, std::uint32_t max, std::uint32_t& out) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty() || value < min || value > max) return false;
  out = value;
  return true;
}

}  // namespace

scanner_model::scanner_model(const emulator_options& options) : options_(options) {
  reset();
}

void scanner_model::reset() {
  settings_ = scan_settings{};
  settings_.geometry.width = options_.width;
  settings_.geometry.height = options_.height;
  settings_.geometry.colour = options_.colour;
  settings_.x_resolution = options_.resolution;
  settings_.y_resolution = options_.resolution;
  settings_.block_size = options_.block_size;
}

bool scanner_model::apply(std::uint8_t prefix, std::uint8_t letter, const std::uint8_t* data,
                          std::size_t n) {
  if (options_.refuse_params) return false;
  if (prefix != FS) {
    switch (letter) {
      case 'C':
        if (n != 1 || (data[0] != COLOUR_GREY && data[0] != COLOUR_RGB)) return false;
        settings_.geometry.colour = data[0] == COLOUR_RGB;
        return true;
      case 'D':
        if (n != 1 || data[0] != 8) return false;
        settings_.depth = data[0];
        return true;
      case 'R':
        if (n != 4 || get_le16(data) == 0 || get_le16(data + 2) == 0) return false;
        settings_.x_resolution = get_le16(data);
        settings_.y_resolution = get_le16(data + 2);
        return true;
      case 'A':
        if (n != 8 || get_le16(data + 4) == 0 || get_le16(data + 6) == 0) return false;
        settings_.left = get_le16(data);
        settings_.top = get_le16(data + 2);
        settings_.geometry.width = get_le16(data + 4);
        settings_.geometry.height = get_le16(data + 6);
        return true;
      default:
        break;
    }
  }
  settings_.kept[static_cast<std::uint16_t>(prefix << 8 | letter)].assign(data, data + n);
  return true;
}

bool scanner_model::apply_text(std::string_view text, std::string& error) {
  if (options_.refuse_params) {
    error = "settings refused";
    return false;
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find_first_of(" \t\r\n;,", pos);
    const std::string_view word = text.substr(pos, end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (word.empty() || word.find_first_not_of('\0') == std::string_view::npos) continue;
    const std::size_t eq = word.find('=');
    const std::string_view key = word.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : word.substr(eq + 1);
    std::uint32_t number = 0;
    if (key == "width" && parse_u32(value, 1, 65535, number)) {
      settings_.geometry.width = number;
    } else if (key == "height" && parse_u32(value, 1, 65535, number)) {
      settings_.geometry.height = number;
    } else if (key == "mode" && (value == "grey" || value == "gray")) {
      settings_.geometry.colour = false;
    } else if (key == "mode" && (value == "colour" || value == "color" || value == "rgb")) {
      settings_.geometry.colour = true;
    } else if (key == "block" && parse_u32(value, 1, MAX_BLOCK_SIZE, number)) {
      settings_.block_size = number;
    } else if (key == "resolution" && parse_u32(value, 1, 65535, number)) {
      settings_.x_resolution = static_cast<std::uint16_t>(number);
      settings_.y_resolution = static_cast<std::uint16_t>(number);
    } else {
      error = "bad setting '" + std::string(word) + "'";
      return false;
    }
  }
  return true;
}

std::uint32_t scanner_model::block_size() const {
  if (settings_.block_size != 0) return settings_.block_size;
  const std::uint64_t line = settings_.geometry.bytes_per_line();
  if (line == 0) return kAutoBlockBytes;
  const std::uint64_t lines = std::max<std::uint64_t>(1, kAutoBlockBytes / line);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(lines * line, MAX_BLOCK_SIZE));
}

std::optional<scan_layout> scanner_model::plan() const {
  return plan_scan(settings_.geometry.image_bytes(), block_size());
}

std::vector<std::uint8_t> scanner_model::identity() const {
  const std::string text = std::string("scanemu ") + variant_name(options_.protocol) + " " +
                           std::to_string(options_.greeting_major) + "." +
                           std::to_string(options_.greeting_minor);
  return variable_reply(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> scanner_model::extended_status() const {
  std::vector<std::uint8_t> data(16);
  data[0] = 0;
  put_le16(data.data() + 1, static_cast<std::uint16_t>(settings_.geometry.width));
  put_le16(data.data() + 3, static_cast<std::uint16_t>(settings_.geometry.height));
  data[5] = settings_.geometry.colour ? COLOUR_RGB : COLOUR_GREY;
  data[6] = settings_.depth;
  put_le16(data.data() + 7, settings_.x_resolution);
  put_le16(data.data() + 9, settings_.y_resolution);
  return variable_reply(data);
}

std::vector<std::uint8_t> scanner_model::counters() const {
  std::vector<std::uint8_t> data(8);
  put_le32(data.data(), scans_);
  return variable_reply(data);
}

std::vector<std::uint8_t> scanner_model::image_info() const {
  std::vector<std::uint8_t> data(8);
  put_le32(data.data(), static_cast<std::uint32_t>(settings_.geometry.bytes_per_line()));
  put_le32(data.data() + 4, settings_.geometry.height);
  return variable_reply(data);
}

std::vector<std::uint8_t> scanner_model::notice_report() {
  const std::uint8_t flag = notice_flag_ ? 1 : 0;
  notice_flag_ = false;
  return variable_reply({flag});
}

std::vector<std::uint8_t> scanner_model::status() const {
  return {STX, 0, 0, 0};
}

std::vector<std::uint8_t> scanner_model::fs_status() const {
  std::vector<std::uint8_t> data(16);
  data[0] = 0;
  data[1] = notice_flag_ ? 1 : 0;
  put_le16(data.data() + 2, static_cast<std::uint16_t>(scans_));
  return data;
}

std::vector<std::uint8_t> scanner_model::device_info() const {
  std::vector<std::uint8_t> data(80);
  std::memset(data.data(), ' ', 16);
  std::memcpy(data.data(), "scanemu", 7);
  std::memcpy(data.data() + 16, "1.20", 4);
  put_le16(data.data() + 20, static_cast<std::uint16_t>(options_.width));
  put_le16(data.data() + 22, static_cast<std::uint16_t>(options_.height));
  put_le16(data.data() + 24, options_.resolution);
  data[26] = 1;
  data[27] = 8;
  return data;
}

std::vector<std::uint8_t> scanner_model::scan_parameters() const {
  std::vector<std::uint8_t> data(64);
  put_le32(data.data(), settings_.geometry.width);
  put_le32(data.data() + 4, settings_.geometry.height);
  put_le16(data.data() + 8, settings_.x_resolution);
  put_le16(data.data() + 10, settings_.y_resolution);
  data[12] = settings_.geometry.colour ? COLOUR_RGB : COLOUR_GREY;
  data[13] = settings_.depth;
  put_le16(data.data() + 14, settings_.left);
  put_le16(data.data() + 16, settings_.top);
  put_le32(data.data() + 18, block_size());
  const std::uint64_t bytes = settings_.geometry.image_bytes();
  put_le32(data.data() + 22,
           static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, 0xFFFFFFFF)));
  return data;
}

std::string scanner_model::info_text() const {
  return std::string("model=scanemu\nvariant=") + variant_name(options_.protocol) +
         "\nversion=" + std::to_string(options_.greeting_major) + "." +
         std::to_string(options_.greeting_minor) + "\n";
}

std::string scanner_model::capabilities_text() const {
  return "width=" + std::to_string(options_.width) + "\nheight=" + std::to_string(options_.height) +
         "\nmodes=grey,colour\ndepth=8\nresolution=" + std::to_string(options_.resolution) + "\n";
}

std::string scanner_model::settings_text() const {
  return "width=" + std::to_string(settings_.geometry.width) +
         "\nheight=" + std::to_string(settings_.geometry.height) +
         "\nmode=" + (settings_.geometry.colour ? "colour" : "grey") +
         "\nblock=" + std::to_string(block_size()) +
         "\nresolution=" + std::to_string(settings_.x_resolution) + "\n";
}

}  // namespace scanbridge::tools::scanemu
