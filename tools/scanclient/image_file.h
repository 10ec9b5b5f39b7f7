// SPDX-License-Identifier: MIT
// Writing a scanned image: 8-bit grey or RGB, as PNG through libpng (when
// the build has it) or as binary PNM (P5 grey, P6 RGB), to a file or to
// standard output.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_IMAGE_FILE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_IMAGE_FILE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/scan_format.h"
#include "tools/common/unique_fd.h"
#include "tools/scanclient/outcome.h"

namespace scanbridge::tools {

enum class image_format { PNG, PNM };

// The name --output takes for standard output.
inline constexpr std::string_view STANDARD_OUTPUT = "-";

// True when this build writes PNG (libpng was found when it was configured).
bool png_built_in();

// "png" or "pnm", in any case.
bool parse_image_format(std::string_view name, image_format* format);

// By the file name: .png, or .pnm (also .pgm and .ppm), in any case. False
// for any other name.
bool image_format_for(std::string_view path, image_format* format);

// What the name says of the colour: .pgm is grey (false), .ppm colour (true);
// nothing for any other name.
std::optional<bool> colour_of_name(std::string_view path);

struct format_choice {
  image_format format = image_format::PNM;
  // One line for the user when the format differs from the one asked for.
  std::string note;
};

// The format to write: `asked` (--format) when given, else the one the name
// tells, PNG for standard output. Without PNG built in the image is written as
// PNM, and when PNG was asked for, by --format or by the name, `note` says so.
// False, with *error, when nothing tells the format.
bool choose_format(const std::string& output, std::optional<image_format> asked, bool png,
                   format_choice* choice, std::string* error);

// Where a scan's image goes, made before the scanner is driven so that a
// path that cannot be written fails at once and no scan is wasted.
//   A regular file, or a path where nothing is yet, is made as TARGET.part
//   and renamed to TARGET once the image is whole; a scan that fails or is
//   cancelled leaves nothing behind.
//   A character device, a FIFO or a socket takes the image in place: renaming
//   a file over it would replace it. A block device is refused.
//   A symbolic link is followed: TARGET is where it leads.
//   "-" is standard output, which must be open for writing.
// The image is never written to a terminal.
class image_output {
 public:
  static outcome open(const std::string& path, std::unique_ptr<image_output>* output);
  explicit image_output(std::string path) : path_(std::move(path)) {}
  // Removes TARGET.part unless write() has renamed it.
  ~image_output();

  image_output(const image_output&) = delete;
  image_output& operator=(const image_output&) = delete;

  // `pixels` must hold geometry.image_bytes() bytes, row by row without
  // padding; a PNG records `dpi` as its resolution.
  outcome write(image_format format, const scan_geometry& geometry, std::uint32_t dpi,
                std::span<const std::uint8_t> pixels);

  bool to_standard_output() const { return path_ == STANDARD_OUTPUT; }
  // "page.png", or "standard output".
  std::string name() const;

 private:
  std::string path_;
  std::string part_;    // TARGET.part while it is being made
  std::string target_;  // what TARGET.part becomes
  unique_fd file_;      // the file written, unless standard output
};

// Removes the .part file of the image output being made, if any. Only
// async-signal-safe calls: for a handler of a signal that ends the client.
void remove_unfinished_output();

// Makes PATH through an image_output: the whole write at once.
outcome write_image(const std::string& path, image_format format, const scan_geometry& geometry,
                    std::uint32_t dpi, std::span<const std::uint8_t> pixels);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_IMAGE_FILE_H_
