// SPDX-License-Identifier: MIT
#include "tools/scanclient/image_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#ifdef SCANCLIENT_WITH_PNG
#include <png.h>
#include <zlib.h>

#include "tools/common/byte_order.h"
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

// 0 once every byte is written, else the error of the write that failed.
int write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

// Where the chain of symbolic links at `path` ends, whether anything is
// there or not; a relative link is read from the link's own directory.
std::string follow_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) break;
    const std::string next(target, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    path = next[0] == '/' || slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
  }
  return path;
}

// A device or a FIFO is opened; a socket, which open() refuses, connected to.
int open_in_place(const std::string& path, bool socket) {
  if (!socket) return ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return errno = ENAMETOOLONG, -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return fd.release();
  }
  return -1;
}

#ifdef SCANCLIENT_WITH_PNG
// libpng's simplified writer records no resolution, so a pHYs chunk (pixels
// per metre both ways) goes in after IHDR, the first chunk, which ends at
// byte 33. Made in memory, the file is written as PNM is, and a failed write
// tells the system's reason.
bool encode_png(const scan_geometry& geometry, std::uint32_t dpi,
                std::span<const std::uint8_t> pixels, std::vector<std::uint8_t>* png,
                std::string* error) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = geometry.width;
  image.height = geometry.height;
  image.format = geometry.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  png->resize(PNG_IMAGE_PNG_SIZE_MAX(image));
  png_alloc_size_t size = png->size();
  const auto stride = static_cast<png_int_32>(geometry.bytes_per_line());
  if (png_image_write_to_memory(&image, png->data(), &size, 0, pixels.data(), stride, nullptr) ==
      0) {
    *error = std::string("libpng: ") + image.message;
    png_image_free(&image);
    return false;
  }
  png->resize(size);
  std::uint8_t phys[21] = {0, 0, 0, 9, 'p', 'H', 'Y', 's'};
  put_be32(&phys[8], (dpi * 10000 + 127) / 254);
  put_be32(&phys[12], (dpi * 10000 + 127) / 254);
  phys[16] = 1;  // the unit is the metre
  put_be32(&phys[17], static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), &phys[4], 13)));
  png->insert(png->begin() + 33, std::begin(phys), std::end(phys));
  return true;
}
#else
bool encode_png(const scan_geometry&, std::uint32_t, std::span<const std::uint8_t>,
                std::vector<std::uint8_t>*, std::string* error) {
  *error = "PNG output is not built in";
  return false;
}
#endif

}  // namespace

bool png_built_in() {
#ifdef SCANCLIENT_WITH_PNG
  return true;
#else
  return false;
#endif
}

bool parse_image_format(std::string_view name, image_format* format) {
  // Any case of "png" or "pnm"; "pgm" and "ppm" name kinds of PNM, not formats.
  const std::string suffix = "." + std::string(name);
  return name.size() == 3 && !colour_of_name(suffix) && image_format_for(suffix, format);
}

bool image_format_for(std::string_view path, image_format* format) {
  if (ends_with(path, ".png")) {
    *format = image_format::PNG;
    return true;
  }
  if (ends_with(path, ".pnm") || colour_of_name(path)) {
    *format = image_format::PNM;
    return true;
  }
  return false;
}

std::optional<bool> colour_of_name(std::string_view path) {
  if (ends_with(path, ".pgm")) return false;
  if (ends_with(path, ".ppm")) return true;
  return std::nullopt;
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

outcome image_output::open(const std::string& path, std::unique_ptr<image_output>* output) {
  auto made = std::make_unique<image_output>(path);
  int fd = STDOUT_FILENO;
  struct stat info {};
  if (made->to_standard_output()) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return write_error(made->name(), EBADF);
  } else if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    if (S_ISBLK(info.st_mode)) return outcome::failure("will not write over block device " + path);
    made->file_.reset(open_in_place(path, S_ISSOCK(info.st_mode)));
    if (!made->file_) return write_error(path, errno);
    fd = made->file_.get();
  } else {
    made->target_ = follow_links(path);
    made->part_ = made->target_ + ".part";
    // Never through a link someone left at TARGET.part: the scan would be
    // written wherever it points.
    made->file_.reset(
        ::open(made->part_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!made->file_) {
      const int error = errno;
      made->part_.clear();
      return write_error(made->target_ + ".part", error);
    }
    set_unfinished(made->part_);
    fd = made->file_.get();
  }
  if (::isatty(fd) != 0) {
    return outcome::failure(
        "will not write image data to a terminal: redirect standard output or give -o FILE");
  }
  *output = std::move(made);
  return outcome::ok();
}

image_output::~image_output() {
  if (part_.empty()) return;
  g_has_unfinished = 0;
  ::unlink(part_.c_str());
}

std::string image_output::name() const {
  return to_standard_output() ? "standard output" : path_;
}

outcome image_output::write(image_format format, const scan_geometry& geometry, std::uint32_t dpi,
                            std::span<const std::uint8_t> pixels) {
  if (pixels.size() != geometry.image_bytes()) {
    return outcome::failure("image has " + std::to_string(pixels.size()) + " bytes, expected " +
                            std::to_string(geometry.image_bytes()));
  }
  const std::string name = part_.empty() ? this->name() : part_;
  std::vector<std::uint8_t> head;
  std::string error;
  if (format == image_format::PNG && !encode_png(geometry, dpi, pixels, &head, &error)) {
    return outcome::failure("cannot write " + name + ": " + error);
  }
  if (format == image_format::PNM) {
    const std::string text = (geometry.colour ? "P6\n" : "P5\n") + std::to_string(geometry.width) +
                             " " + std::to_string(geometry.height) + "\n255\n";
    head.assign(text.begin(), text.end());
  }
  const int fd = file_ ? file_.get() : STDOUT_FILENO;
  int failed = write_all(fd, head);
  if (failed == 0 && format == image_format::PNM) failed = write_all(fd, pixels);
  if (failed == 0 && file_ && ::close(file_.release()) != 0) failed = errno;
  if (failed != 0) return write_error(name, failed);
  if (part_.empty()) return outcome::ok();
  // The scan took a while: whatever appeared at TARGET meanwhile, other than
  // a regular file, is not replaced either.
  struct stat now {};
  if (::lstat(target_.c_str(), &now) == 0 && !S_ISREG(now.st_mode)) {
    // The image stays in TARGET.part.
    g_has_unfinished = 0;
    return outcome::failure("will not replace " + target_ + ", which is no longer a file; the " +
                            "image is in " + std::exchange(part_, std::string()));
  }
  if (std::rename(part_.c_str(), target_.c_str()) != 0) {
    return outcome::failure("cannot rename " + part_ + " to " + target_ + ": " +
                            std::strerror(errno));
  }
  g_has_unfinished = 0;
  part_.clear();
  return outcome::ok();
}

void remove_unfinished_output() {
  if (g_has_unfinished != 0) ::unlink(g_unfinished);
}

outcome write_image(const std::string& path, image_format format, const scan_geometry& geometry,
                    std::uint32_t dpi, std::span<const std::uint8_t> pixels) {
  std::unique_ptr<image_output> output;
  outcome opened = image_output::open(path, &output);
  if (!opened.is_ok()) return opened;
  return output->write(format, geometry, dpi, pixels);
}

}  // namespace scanbridge::tools
