// SPDX-License-Identifier: MIT
#include "tools/scanclient/image_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef SCANCLIENT_WITH_PNG
#include <png.h>
#endif

namespace scanbridge::tools {

namespace {

// The .part file being made, for remove_unfinished_output() in a signal
// handler: a fixed buffer, set and cleared outside any handler.
char g_unfinished[4096];
volatile std::sig_atomic_t g_has_unfinished = 0;

void set_unfinished(const std::string& part) {
  g_has_unfinished = 0;
  if (part.size() >= sizeof g_unfinished) return;  // too long to keep: left to the destructor
  std::memcpy(g_unfinished, part.c_str(), part.size() + 1);
  g_has_unfinished = 1;
}

#ifdef SCANCLIENT_WITH_PNG
// Owns the libpng state of a png_image, whatever happens to the write.
class png_image_holder {
 public:
  png_image_holder() {
    std::memset(&image_, 0, sizeof(image_));
    image_.version = PNG_IMAGE_VERSION;
  }
  ~png_image_holder() { png_image_free(&image_); }
  png_image_holder(const png_image_holder&) = delete;
  png_image_holder& operator=(const png_image_holder&) = delete;

  png_image* get() { return &image_; }

 private:
  png_image image_;
};
#endif

bool ends_with(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

outcome write_error(const std::string& name, int error) {
  return outcome::failure("cannot write " + name + ": " + std::strerror(error));
}

// Flushes the file, reporting what a buffered write left unsaid.
outcome flush(std::FILE* file, const std::string& name) {
  const bool failed = std::fflush(file) != 0 || std::ferror(file) != 0;
  return failed ? write_error(name, errno) : outcome::ok();
}

outcome check_size(const scan_geometry& geometry, std::span<const std::uint8_t> pixels) {
  if (pixels.size() != geometry.image_bytes()) {
    return outcome::failure("image has " + std::to_string(pixels.size()) + " bytes, expected " +
                            std::to_string(geometry.image_bytes()));
  }
  return outcome::ok();
}

}  // namespace

bool png_built_in() {
#ifdef SCANCLIENT_WITH_PNG
  return true;
#else
  return false;
#endif
}

bool parse_image_format(std::string_view name, image_format* format) {
  if (name.size() != 3) return false;
  if (ends_with(name, "png")) {
    *format = image_format::PNG;
    return true;
  }
  if (ends_with(name, "pnm")) {
    *format = image_format::PNM;
    return true;
  }
  return false;
}

bool image_format_for(std::string_view path, image_format* format) {
  if (ends_with(path, ".png")) {
    *format = image_format::PNG;
    return true;
  }
  if (ends_with(path, ".pnm") || ends_with(path, ".pgm") || ends_with(path, ".ppm")) {
    *format = image_format::PNM;
    return true;
  }
  return false;
}

bool choose_format(const std::string& output, std::optional<image_format> asked, bool png,
                   format_choice* choice, std::string* error) {
  image_format format = image_format::PNG;
  const bool to_stdout = output == STANDARD_OUTPUT;
  if (asked) {
    format = *asked;
  } else if (!to_stdout && !image_format_for(output, &format)) {
    *error = "cannot tell the image format of '" + output +
             "': the name must end in .png or .pnm (.pgm, .ppm), or give --format";
    return false;
  }
  choice->format = format;
  choice->note.clear();
  if (format == image_format::PNG && !png) {
    choice->format = image_format::PNM;
    // Standard output without --format asked for no format in particular.
    if (asked || !to_stdout) {
      choice->note = "PNG output is not built in (no libpng when scanclient was built); writing " +
                     std::string(to_stdout ? "standard output" : output) + " as PNM";
    }
  }
  return true;
}

outcome write_pnm(std::FILE* file, const std::string& name, const scan_geometry& geometry,
                  std::span<const std::uint8_t> pixels) {
  outcome sized = check_size(geometry, pixels);
  if (!sized.is_ok()) return sized;
  std::fprintf(file, "P%c\n%u %u\n255\n", geometry.colour ? '6' : '5', geometry.width,
               geometry.height);
  if (!pixels.empty()) std::fwrite(pixels.data(), 1, pixels.size(), file);
  return flush(file, name);
}

outcome write_png(std::FILE* file, const std::string& name, const scan_geometry& geometry,
                  std::span<const std::uint8_t> pixels) {
#ifdef SCANCLIENT_WITH_PNG
  outcome sized = check_size(geometry, pixels);
  if (!sized.is_ok()) return sized;
  png_image_holder holder;
  png_image* image = holder.get();
  image->width = geometry.width;
  image->height = geometry.height;
  image->format = geometry.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  const auto stride = static_cast<png_int_32>(geometry.bytes_per_line());
  if (png_image_write_to_stdio(image, file, 0, pixels.data(), stride, nullptr) == 0) {
    return outcome::failure("cannot write " + name + ": libpng: " + image->message);
  }
  return flush(file, name);
#else
  (void)file;
  (void)geometry;
  (void)pixels;
  return outcome::failure("cannot write " + name + ": PNG output is not built in");
#endif
}

outcome image_output::open(const std::string& path, std::unique_ptr<image_output>* output) {
  if (path == STANDARD_OUTPUT) {
    if (::isatty(STDOUT_FILENO) != 0) {
      return outcome::failure(
          "will not write image data to a terminal: redirect standard output or give -o FILE");
    }
    *output = std::make_unique<image_output>(path, stdout);
    return outcome::ok();
  }
  const std::string part = path + ".part";
  // Never through a link someone left at FILE.part: the scan would be written
  // wherever it points.
  const int fd =
      ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return write_error(part, errno);
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(part.c_str());
    return write_error(part, error);
  }
  set_unfinished(part);
  *output = std::make_unique<image_output>(path, file);
  return outcome::ok();
}

image_output::~image_output() {
  discard_();
}

std::string image_output::name() const {
  return to_standard_output() ? "standard output" : path_;
}

void image_output::discard_() {
  if (file_ == nullptr || to_standard_output()) return;
  g_has_unfinished = 0;
  std::fclose(file_);
  file_ = nullptr;
  ::unlink((path_ + ".part").c_str());
}

outcome image_output::write(image_format format, const scan_geometry& geometry,
                            std::span<const std::uint8_t> pixels) {
  if (file_ == nullptr) return outcome::failure("the image is written already");
  const std::string target = to_standard_output() ? name() : path_ + ".part";
  outcome written = format == image_format::PNG ? write_png(file_, target, geometry, pixels)
                                                : write_pnm(file_, target, geometry, pixels);
  if (to_standard_output()) {
    file_ = nullptr;
    return written;
  }
  if (!written.is_ok()) {
    discard_();
    return written;
  }
  g_has_unfinished = 0;
  const bool closed = std::fclose(file_) == 0;
  const int error = errno;
  file_ = nullptr;
  if (!closed) {
    ::unlink(target.c_str());
    return write_error(target, error);
  }
  if (std::rename(target.c_str(), path_.c_str()) != 0) {
    const int rename_error = errno;
    ::unlink(target.c_str());
    return outcome::failure("cannot rename " + target + " to " + path_ + ": " +
                            std::strerror(rename_error));
  }
  return outcome::ok();
}

void remove_unfinished_output() {
  if (g_has_unfinished != 0) ::unlink(g_unfinished);
}

outcome write_image(const std::string& path, image_format format, const scan_geometry& geometry,
                    std::span<const std::uint8_t> pixels) {
  std::unique_ptr<image_output> output;
  outcome opened = image_output::open(path, &output);
  if (!opened.is_ok()) return opened;
  return output->write(format, geometry, pixels);
}

}  // namespace scanbridge::tools
