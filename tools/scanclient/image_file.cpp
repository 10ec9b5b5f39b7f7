#include "tools/scanclient/image_file.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace scanbridge::tools {

namespace {

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

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

outcome open_for_writing(const std::string& path, file_ptr* file) {
  file->reset(std::fopen(path.c_str(), "wb"));
  if (!*file) return outcome::failure("cannot write " + path + ": " + std::strerror(errno));
  return outcome::ok();
}

// Closes the file, reporting what a buffered write left unsaid.
outcome finish(const std::string& path, file_ptr file) {
  const bool write_error = std::ferror(file.get()) != 0;
  const int error = errno;
  if (std::fclose(file.release()) != 0 || write_error) {
    return outcome::failure("cannot write " + path + ": " +
                            std::strerror(write_error ? error : errno));
  }
  return outcome::ok();
}

outcome check_size(const scan_geometry& geometry, std::span<const std::uint8_t> pixels) {
  if (pixels.size() != geometry.image_bytes()) {
    return outcome::failure("image has " + std::to_string(pixels.size()) + " bytes, expected " +
                            std::to_string(geometry.image_bytes()));
  }
  return outcome::ok();
}

}  // namespace

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

outcome check_writable(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (::access(dir.c_str(), W_OK) != 0) {
    return outcome::failure("cannot write " + path + ": " + std::strerror(errno));
  }
  return outcome::ok();
}

outcome write_pnm(const std::string& path, const scan_geometry& geometry,
                  std::span<const std::uint8_t> pixels) {
  outcome sized = check_size(geometry, pixels);
  if (!sized.is_ok()) return sized;
  file_ptr file;
  outcome opened = open_for_writing(path, &file);
  if (!opened.is_ok()) return opened;
  std::fprintf(file.get(), "P%c\n%u %u\n255\n", geometry.colour ? '6' : '5', geometry.width,
               geometry.height);
  if (!pixels.empty()) std::fwrite(pixels.data(), 1, pixels.size(), file.get());
  return finish(path, std::move(file));
}

outcome write_png(const std::string& path, const scan_geometry& geometry,
                  std::span<const std::uint8_t> pixels) {
  outcome sized = check_size(geometry, pixels);
  if (!sized.is_ok()) return sized;
  file_ptr file;
  outcome opened = open_for_writing(path, &file);
  if (!opened.is_ok()) return opened;

  png_image_holder holder;
  png_image* image = holder.get();
  image->width = geometry.width;
  image->height = geometry.height;
  image->format = geometry.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  const auto stride = static_cast<png_int_32>(geometry.bytes_per_line());
  if (png_image_write_to_stdio(image, file.get(), 0, pixels.data(), stride, nullptr) == 0) {
    return outcome::failure("cannot write " + path + ": libpng: " + image->message);
  }
  return finish(path, std::move(file));
}

outcome write_image(const std::string& path, image_format format, const scan_geometry& geometry,
                    std::span<const std::uint8_t> pixels) {
  const std::string part = path + ".part";
  outcome written = format == image_format::PNG ? write_png(part, geometry, pixels)
                                                : write_pnm(part, geometry, pixels);
  if (written.is_ok() && std::rename(part.c_str(), path.c_str()) != 0) {
    written =
        outcome::failure("cannot rename " + part + " to " + path + ": " + std::strerror(errno));
  }
  if (!written.is_ok()) std::remove(part.c_str());
  return written;
}

}  // namespace scanbridge::tools
