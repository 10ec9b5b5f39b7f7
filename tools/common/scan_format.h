// SPDX-License-Identifier: MIT
// What the emulator and the client agree on beyond the bridge's own protocol:
// the layout of the scan parameters a driver sets before a scan, and the
// synthetic test image the emulator scans. A real scanner defines these
// itself; the bridge passes them through without reading them.
#ifndef SCANBRIDGE_TOOLS_COMMON_SCAN_FORMAT_H_
#define SCANBRIDGE_TOOLS_COMMON_SCAN_FORMAT_H_

#include <cstdint>

namespace scanbridge::tools {

// Parameter commands (ESC letter, then a parameter block):
//   ESC 'C' colour mode, 1 byte: COLOUR_GREY or COLOUR_RGB.
//   ESC 'D' bit depth, 1 byte: 8 (the only depth the emulator scans).
//   ESC 'R' resolution, 4 bytes: horizontal then vertical dots per inch, u16 little-endian each.
//   ESC 'A' scan area, 8 bytes: left, top, width, height in pixels, u16 little-endian each.
// Any other parameter command is acknowledged and its value kept.
inline constexpr std::uint8_t COLOUR_GREY = 0x00;
inline constexpr std::uint8_t COLOUR_RGB = 0x01;

struct scan_geometry {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool colour = false;

  std::uint32_t channels() const { return colour ? 3 : 1; }
  std::uint64_t bytes_per_line() const { return std::uint64_t{width} * channels(); }
  std::uint64_t image_bytes() const { return bytes_per_line() * height; }
};

// The test image, sample by sample (x < width, y < height, channel < 3 for
// colour, 0 for grey). Three horizontal bands: colour bars on top, a grey
// ramp from black to white in the middle, and fine lines at the bottom
// (one-pixel vertical lines on the left half, one-pixel horizontal lines on the
// right half), which show any lost, doubled or shifted byte at once. Grey scans
// carry the luminance of the colour image.
inline std::uint8_t test_pattern_rgb(std::uint32_t x, std::uint32_t y, std::uint32_t channel,
                                     std::uint32_t width, std::uint32_t height) {
  // White, yellow, cyan, green, magenta, red, blue, black, as RGB bit masks.
  static constexpr std::uint8_t kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
  const std::uint64_t band = std::uint64_t{y} * 3 / (height == 0 ? 1 : height);
  if (band == 0) {
    const std::uint8_t bar = kBars[std::uint64_t{x} * 8 / (width == 0 ? 1 : width)];
    return (bar >> (2 - channel)) & 1 ? 0xFF : 0x00;
  }
  if (band == 1) {
    return static_cast<std::uint8_t>(width <= 1 ? 0 : std::uint64_t{x} * 255 / (width - 1));
  }
  const bool on = x < width / 2 ? (x & 1) != 0 : (y & 1) != 0;
  return on ? 0xFF : 0x00;
}

inline std::uint8_t test_pattern(const scan_geometry& g, std::uint32_t x, std::uint32_t y,
                                 std::uint32_t channel) {
  if (g.colour) return test_pattern_rgb(x, y, channel, g.width, g.height);
  const std::uint32_t r = test_pattern_rgb(x, y, 0, g.width, g.height);
  const std::uint32_t gr = test_pattern_rgb(x, y, 1, g.width, g.height);
  const std::uint32_t b = test_pattern_rgb(x, y, 2, g.width, g.height);
  return static_cast<std::uint8_t>((r * 77 + gr * 150 + b * 29) >> 8);
}

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_SCAN_FORMAT_H_
