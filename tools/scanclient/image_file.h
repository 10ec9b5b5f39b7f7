// Writing a scanned image: 8-bit grey or RGB, as PNG through libpng or as
// binary PNM (P5 grey, P6 RGB).
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_IMAGE_FILE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_IMAGE_FILE_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/scan_format.h"
#include "tools/scanclient/outcome.h"

namespace scanbridge::tools {

enum class image_format { PNG, PNM };

// By the file name: .png, or .pnm (also .pgm and .ppm), in any case. False
// for any other name.
bool image_format_for(std::string_view path, image_format* format);

// Both write `pixels`, which must hold geometry.image_bytes() bytes, row by
// row without padding.
outcome write_pnm(const std::string& path, const scan_geometry& geometry,
                  std::span<const std::uint8_t> pixels);
outcome write_png(const std::string& path, const scan_geometry& geometry,
                  std::span<const std::uint8_t> pixels);

// Fails when the file could not be made: its directory is missing or not
// writable. Checked before a scan so that the scan is not wasted.
outcome check_writable(const std::string& path);

// Writes PATH.part and renames it to PATH, so that a failed write leaves no
// half-written image under the wanted name.
outcome write_image(const std::string& path, image_format format, const scan_geometry& geometry,
                    std::span<const std::uint8_t> pixels);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_IMAGE_FILE_H_
