// SPDX-License-Identifier: MIT
#include "tests/e2e/scan_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace scanbridge::testing {

namespace {

std::uint32_t le32(const bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

// One number of a PNM header, after blanks and comments.
bool pnm_number(const bytes& file, std::size_t* at, std::uint32_t* value) {
  while (*at < file.size()) {
    const std::uint8_t c = file[*at];
    if (c == '#') {
      while (*at < file.size() && file[*at] != '\n') ++*at;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++*at;
    } else {
      break;
    }
  }
  const std::size_t start = *at;
  std::uint64_t number = 0;
  while (*at < file.size() && file[*at] >= '0' && file[*at] <= '9' && number <= 0xFFFFFFFF) {
    number = number * 10 + (file[*at] - '0');
    ++*at;
  }
  if (*at == start || number > 0xFFFFFFFF) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace

bytes expected_image(const scan_geometry& g) {
  bytes image;
  image.reserve(static_cast<std::size_t>(g.image_bytes()));
  for (std::uint32_t y = 0; y < g.height; ++y) {
    for (std::uint32_t x = 0; x < g.width; ++x) {
      for (std::uint32_t c = 0; c < g.channels(); ++c)
        image.push_back(tools::test_pattern(g, x, y, c));
    }
  }
  return image;
}

std::string compare_with_pattern(const bytes& samples, const scan_geometry& g) {
  const bytes want = expected_image(g);
  if (samples.size() != want.size()) {
    return std::to_string(samples.size()) + " samples where " + std::to_string(g.width) + "x" +
           std::to_string(g.height) + (g.colour ? " RGB" : " grey") + " has " +
           std::to_string(want.size());
  }
  std::size_t first = want.size();
  std::size_t differing = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (samples[i] == want[i]) continue;
    if (differing++ == 0) first = i;
  }
  if (differing == 0) return std::string();
  const std::size_t pixel = first / g.channels();
  char text[160];
  std::snprintf(text, sizeof text,
                "%zu samples differ; the first at x=%zu y=%zu channel=%zu: 0x%02X, not 0x%02X",
                differing, pixel % g.width, pixel / g.width, first % g.channels(), samples[first],
                want[first]);
  return text;
}

std::optional<pnm_image> read_pnm(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  const bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (file.size() < 2 || file[0] != 'P' || (file[1] != '5' && file[1] != '6')) {
    *error = "not a binary PNM file (no P5 or P6 at the start)";
    return std::nullopt;
  }
  pnm_image image;
  image.geometry.colour = file[1] == '6';
  std::size_t at = 2;
  std::uint32_t maxval = 0;
  if (!pnm_number(file, &at, &image.geometry.width) ||
      !pnm_number(file, &at, &image.geometry.height) || !pnm_number(file, &at, &maxval)) {
    *error = "the PNM header is incomplete";
    return std::nullopt;
  }
  if (maxval != 255) {
    *error = "maxval " + std::to_string(maxval) + ", not 255";
    return std::nullopt;
  }
  // Exactly one blank between the header and the samples.
  if (at >= file.size() ||
      (file[at] != ' ' && file[at] != '\n' && file[at] != '\t' && file[at] != '\r')) {
    *error = "no blank after the PNM header";
    return std::nullopt;
  }
  ++at;
  image.samples.assign(file.begin() + static_cast<std::ptrdiff_t>(at), file.end());
  if (image.samples.size() != image.geometry.image_bytes()) {
    *error = std::to_string(image.samples.size()) + " bytes of samples, not " +
             std::to_string(image.geometry.image_bytes());
    return std::nullopt;
  }
  return image;
}

temp_file::temp_file(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/e2e_test_" +
          std::to_string(::getpid()) + "_" + name;
  std::remove(path_.c_str());
}

temp_file::~temp_file() {
  std::remove(path_.c_str());
}

std::optional<info_block> parse_info_block(const bytes& payload) {
  if (payload.size() != 14 || payload[0] != 0x02) return std::nullopt;
  return info_block{payload[1], le32(payload, 2), le32(payload, 6), le32(payload, 10)};
}

std::uint32_t open_device(const link_client& link, const std::string& uri) {
  if (!link.send(0, KIND_OPEN, text_bytes(uri))) {
    ADD_FAILURE() << "cannot send OPEN";
    return 0;
  }
  // Opening a scanner that does not answer takes its ten tries.
  const std::optional<link_reply> reply = link.receive(30s);
  if (!reply) {
    ADD_FAILURE() << "no answer to OPEN " << uri;
    return 0;
  }
  if (reply->status != 0) return 0;
  return reply->id;
}

std::vector<link_reply> exchange(const link_client& link, std::uint32_t id, const bytes& data,
                                 std::size_t replies) {
  std::vector<link_reply> got;
  if (!link.send(id, KIND_DATA, data)) {
    ADD_FAILURE() << "cannot send DATA [" << hex(data) << "] to device " << id;
    return got;
  }
  while (got.size() < replies) {
    std::optional<link_reply> reply = link.receive();
    if (!reply) {
      ADD_FAILURE() << "reply " << got.size() + 1 << " of " << replies << " to DATA [" << hex(data)
                    << "] for device " << id << " did not come";
      break;
    }
    EXPECT_EQ(reply->id, id) << *reply;
    got.push_back(std::move(*reply));
  }
  return got;
}

std::optional<bytes> scan_with_acks(const link_client& link, std::uint32_t id,
                                    std::size_t* blocks) {
  std::vector<link_reply> replies = exchange(link, id, {FS, 'G'}, 2);
  if (replies.size() != 2) return std::nullopt;
  const std::optional<info_block> info = parse_info_block(replies[0].payload);
  if (!info || info->status != 0) {
    ADD_FAILURE() << "not a good information block: " << replies[0];
    return std::nullopt;
  }
  bytes image;
  std::uint32_t count = info->block_count;
  std::size_t seen = 0;
  link_reply block = std::move(replies[1]);
  for (;;) {
    ++seen;
    const std::size_t n = block.payload.size();
    if (block.status != 0 || (n != info->block_size + 1ull && n != info->last_block_size + 1ull)) {
      ADD_FAILURE() << "block " << seen << " is no data block: " << block;
      return std::nullopt;
    }
    image.insert(image.end(), block.payload.begin(), block.payload.end() - 1);
    const std::uint8_t status = block.payload.back();
    const bool last =
        status != 0 ? (status & 0xD0) != 0x10 : n == info->last_block_size + 1ull && count == 0;
    --count;
    if (last) break;
    replies = exchange(link, id, {ACK}, 1);
    if (replies.size() != 1) return std::nullopt;
    block = std::move(replies[0]);
  }
  if (blocks != nullptr) *blocks = seen;
  return image;
}

}  // namespace scanbridge::testing
