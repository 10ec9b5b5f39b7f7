// SPDX-License-Identifier: MIT
#include "tools/scanemu/image_source.h"

#include <algorithm>
#include <cstring>

namespace scanbridge::tools::scanemu {

image_source::image_source(const scan_geometry& geometry)
    : geometry_(geometry), line_bytes_(std::size_t{geometry.width} * geometry.channels()) {
  // Build each kind of row from the first line of that kind.
  std::size_t built = 0;
  for (std::uint32_t y = 0; y < geometry_.height && built < kRowKinds; ++y) {
    std::vector<std::uint8_t>& row = rows_[kind_of_(y)];
    if (!row.empty() || line_bytes_ == 0) continue;
    row.resize(line_bytes_);
    std::size_t i = 0;
    for (std::uint32_t x = 0; x < geometry_.width; ++x) {
      for (std::uint32_t c = 0; c < geometry_.channels(); ++c) {
        row[i++] = test_pattern(geometry_, x, y, c);
      }
    }
    ++built;
  }
}

std::size_t image_source::kind_of_(std::uint32_t y) const {
  if (geometry_.height == 0) return 0;
  const std::uint64_t band = std::uint64_t{y} * 3 / geometry_.height;
  if (band < 2) return static_cast<std::size_t>(band);
  return 2 + (y & 1);
}

void image_source::copy(std::uint64_t offset, std::uint8_t* out, std::size_t n) const {
  while (n > 0) {
    const auto y = static_cast<std::uint32_t>(offset / line_bytes_);
    const std::uint64_t column = offset % line_bytes_;
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(n, line_bytes_ - column));
    std::memcpy(out, rows_[kind_of_(y)].data() + column, take);
    out += take;
    offset += take;
    n -= take;
  }
}

}  // namespace scanbridge::tools::scanemu
