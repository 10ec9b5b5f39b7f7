// SPDX-License-Identifier: MIT
// The bytes of the test image as a scan delivers them: row by row, channels
// interleaved, each sample from the shared test pattern.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_IMAGE_SOURCE_H_
#define SCANBRIDGE_TOOLS_SCANEMU_IMAGE_SOURCE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/common/scan_format.h"

namespace scanbridge::tools::scanemu {

// Streaming must not cost work per byte, so rows are built once and copied.
// The pattern depends on the line number only through its band (top, middle,
// bottom third) and, in the bottom band, its parity; so an image has at most
// four distinct rows, each built from the pattern function itself. The unit
// tests compare whole images with the pattern, sample by sample, to keep
// this reasoning honest should the pattern change.
class image_source {
 public:
  explicit image_source(const scan_geometry& geometry);

  std::uint64_t size() const { return geometry_.image_bytes(); }
  // Copies the n image bytes that start at offset into out; the range must
  // lie inside the image.
  void copy(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;

 private:
  static constexpr std::size_t kRowKinds = 4;
  std::size_t kind_of_(std::uint32_t y) const;

  scan_geometry geometry_;
  std::size_t line_bytes_;  // one row in memory
  std::array<std::vector<std::uint8_t>, kRowKinds> rows_;
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_IMAGE_SOURCE_H_
