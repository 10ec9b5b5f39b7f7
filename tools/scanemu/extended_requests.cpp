// SPDX-License-Identifier: MIT
#include "tools/scanemu/extended_requests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace scanbridge::tools::scanemu {
namespace {

std::vector<std::uint8_t> text_bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

extended_requests::answer with_payload(std::string_view code, std::vector<std::uint8_t> payload) {
  return {make_reply_header(code, static_cast<std::uint32_t>(payload.size())), std::move(payload),
          false};
}

}  // namespace

std::optional<std::uint32_t> parse_announced_size(const std::uint8_t* header) {
  if (header[4] != 'x') return std::nullopt;
  std::uint32_t size = 0;
  for (std::size_t i = 5; i < REQUEST_SIZE; ++i) {
    const std::uint8_t c = header[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    size = size * 16 + digit;
  }
  return size;
}

std::vector<std::uint8_t> make_reply_header(std::string_view code, std::uint32_t size,
                                            std::initializer_list<std::string_view> fields) {
  std::vector<std::uint8_t> header(REPLY_HEADER_SIZE, ' ');
  std::memcpy(header.data(), code.data(), std::min<std::size_t>(code.size(), 4));
  char size_field[9];
  std::snprintf(size_field, sizeof size_field, "x%07X", std::min(size, MAX_ANNOUNCED_SIZE));
  std::memcpy(header.data() + 4, size_field, 8);
  std::size_t at = REQUEST_SIZE;
  // Room is kept for the end mark, and behind it for the 4 bytes that a
  // peer's cancel mark "#atnCAN " pushes the end mark on by.
  for (std::string_view field : fields) {
    if (at + field.size() + 8 > REPLY_HEADER_SIZE) break;
    std::memcpy(header.data() + at, field.data(), field.size());
    at += field.size();
  }
  std::memcpy(header.data() + at, "#---", 4);
  return header;
}

extended_requests::extended_requests(scanner_model& scanner, const emulator_options& options)
    : scanner_(scanner), busy_fins_left_(options.fin_busy) {}

extended_requests::answer extended_requests::handle(std::string_view code,
                                                    const std::vector<std::uint8_t>& payload) {
  if (code == "INFO") return with_payload(code, text_bytes(scanner_.info_text()));
  if (code == "CAPA") return with_payload(code, text_bytes(scanner_.capabilities_text()));
  if (code == "PARA") {
    if (payload.empty()) return with_payload(code, text_bytes(scanner_.settings_text()));
    std::string error;
    const std::string text(payload.begin(), payload.end());
    if (scanner_.apply_text(text, error)) return {make_reply_header(code, 0), {}, false};
    return {make_reply_header(code, 0, {"#errPARA"}), {}, false};
  }
  if (code == "IMG ") return image_chunk_();
  if (code == "CAN ") {
    image_.reset();
    return {make_reply_header(code, 0), {}, false};
  }
  if (code == "FIN ") {
    image_.reset();
    if (busy_fins_left_ > 0) {
      --busy_fins_left_;
      return {make_reply_header(code, 0, {"#nrdBUSY"}), {}, false};
    }
    return {make_reply_header(code, 0), {}, true};
  }
  return {make_reply_header(code, 0, {"#errUNKN"}), {}, false};
}

extended_requests::answer extended_requests::malformed() {
  return {make_reply_header("ERR ", 0, {"#errFORM"}), {}, false};
}

extended_requests::answer extended_requests::image_chunk_() {
  if (!image_) {
    const std::optional<scan_layout> layout = scanner_.plan();
    if (!layout) return {make_reply_header("IMG ", 0, {"#errNOIM"}), {}, false};
    image_.emplace(scanner_.settings().geometry);
    image_offset_ = 0;
  }
  const std::uint64_t left = image_->size() - image_offset_;
  const auto size = static_cast<std::uint32_t>(
      std::min<std::uint64_t>({left, scanner_.block_size(), MAX_ANNOUNCED_SIZE}));
  answer chunk;
  chunk.payload.resize(size);
  image_->copy(image_offset_, chunk.payload.data(), size);
  image_offset_ += size;
  const bool last = image_offset_ == image_->size();
  chunk.header = make_reply_header("IMG ", size, {last ? "#imgLAST" : "#imgMORE"});
  if (last) {
    image_.reset();
    scanner_.count_scan();
  }
  return chunk;
}

}  // namespace scanbridge::tools::scanemu
