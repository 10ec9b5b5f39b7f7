// SPDX-License-Identifier: MIT
// Answers to the requests of extended mode (IS): 12-byte requests
// "CODEx" + 7 hex digits, answered with a 64-byte header of the same form,
// 8-byte text fields and the end mark "#---", and a payload.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_EXTENDED_REQUESTS_H_
#define SCANBRIDGE_TOOLS_SCANEMU_EXTENDED_REQUESTS_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

#include "tools/scanemu/image_source.h"
#include "tools/scanemu/options.h"
#include "tools/scanemu/scanner_model.h"

namespace scanbridge::tools::scanemu {

inline constexpr std::size_t REQUEST_SIZE = 12;
inline constexpr std::size_t REPLY_HEADER_SIZE = 64;
// The largest size that 7 hex digits can announce.
inline constexpr std::uint32_t MAX_ANNOUNCED_SIZE = 0xFFFFFFF;

// The payload size of a request or reply header: 'x' at byte 4, then seven
// digits '0'-'9' or 'A'-'F'. Nothing when the field is malformed.
std::optional<std::uint32_t> parse_announced_size(const std::uint8_t* header);

// A 64-byte reply header: code, size, the fields, "#---", spaces.
std::vector<std::uint8_t> make_reply_header(std::string_view code, std::uint32_t size,
                                            std::initializer_list<std::string_view> fields = {});

class extended_requests {
 public:
  extended_requests(scanner_model& scanner, const emulator_options& options);

  struct answer {
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> payload;
    // The request was "FIN " and extended mode ends.
    bool leaves = false;
  };

  // Answers the request with the given code and the payload it carried.
  answer handle(std::string_view code, const std::vector<std::uint8_t>& payload);
  // The answer to a request that cannot be parsed.
  static answer malformed();

 private:
  answer image_chunk_();

  scanner_model& scanner_;
  std::uint32_t busy_fins_left_;
  std::optional<image_source> image_;
  std::uint64_t image_offset_ = 0;
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_EXTENDED_REQUESTS_H_
