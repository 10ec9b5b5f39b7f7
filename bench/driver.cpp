// SPDX-License-Identifier: MIT
#include "bench/driver.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace scanbridge::bench {

namespace {

constexpr int IO_TIMEOUT_S = 30;  // the direct stream, with no relay to stall

int reply_timeout_s = 3;

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// CPU time of the calling thread, user and system, in seconds.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

clock_type::time_point after(clock_type::time_point t0, double seconds) {
  return t0 +
         std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
}

// How often the deadline is looked at, in blocks.
constexpr std::uint64_t CLOCK_EVERY = 8;

std::int32_t status_of(const frame& f) {
  return static_cast<std::int32_t>(get_be32(f.header + 8));
}

// Checks one received data block against block i of the scan.
class block_checker {
 public:
  block_checker(const scan_shape& shape, bool verify) : shape_(shape), verify_(verify) {
    if (verify_) {
      full_ = std::make_unique<block_image>(shape.block_size + 1);
      last_ = std::make_unique<block_image>(shape.last_block_size + 1);
    }
  }

  // "" when the block is the one the scanner sent as block i.
  std::string check(std::uint64_t i, const std::uint8_t* bytes, std::uint32_t n) {
    const std::uint32_t expected = shape_.wire_size(i);
    if (n != expected) {
      return "block " + std::to_string(i) + " has " + std::to_string(n) + " bytes, not " +
             std::to_string(expected);
    }
    if (block_index(bytes) != static_cast<std::uint32_t>(i)) {
      return "block " + std::to_string(i) + " arrived in place of block " +
             std::to_string(block_index(bytes));
    }
    if (bytes[n - 1] != 0) return "block " + std::to_string(i) + " lost its status byte";
    if (verify_) {
      block_image& image = i < shape_.block_count ? *full_ : *last_;
      image.stamp(i);
      if (std::memcmp(image.data(), bytes, n) != 0) {
        return "block " + std::to_string(i) + " differs from what the scanner sent";
      }
    }
    return "";
  }

 private:
  scan_shape shape_;
  bool verify_;
  std::unique_ptr<block_image> full_;
  std::unique_ptr<block_image> last_;
};

std::string check_info(const std::uint8_t* info, std::uint32_t n, const scan_shape& shape) {
  std::uint8_t expected[INFO_BLOCK_SIZE];
  encode_info_block(expected, shape);
  if (n != INFO_BLOCK_SIZE || std::memcmp(info, expected, INFO_BLOCK_SIZE) != 0) {
    return "the information block differs";
  }
  return "";
}

}  // namespace

void set_reply_timeout(int seconds) {
  reply_timeout_s = seconds;
}

int reply_timeout() {
  return reply_timeout_s;
}

driver_link::driver_link(int port) : fd_(connect_loopback(port)), in_(fd_.get()) {
  if (fd_) {
    set_no_delay(fd_.get());
    set_io_timeout(fd_.get(), reply_timeout_s);
  }
}

bool driver_link::send_data_(std::uint32_t id, const std::uint8_t* bytes, std::uint32_t n) {
  std::uint8_t message[LINK_HEADER_SIZE + 8];
  encode_link_header(message, id, KIND_DATA, 0, n);
  std::memcpy(message + LINK_HEADER_SIZE, bytes, n);
  return write_all(fd_.get(), message, LINK_HEADER_SIZE + n);
}

bool driver_link::reply_(frame* out, std::string* fault, bool* stalled) {
  errno = 0;
  if (in_.next_link_message(out)) return true;
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    *fault = "no reply for " + std::to_string(reply_timeout_s) + " s";
    if (stalled != nullptr) *stalled = true;
  } else {
    *fault = "the relay closed the link";
  }
  return false;
}

bool driver_link::open_device(const std::string& uri, std::uint32_t* id, std::string* fault) {
  std::vector<std::uint8_t> message(LINK_HEADER_SIZE + uri.size());
  encode_link_header(message.data(), 0, KIND_OPEN, 0, static_cast<std::uint32_t>(uri.size()));
  std::memcpy(message.data() + LINK_HEADER_SIZE, uri.data(), uri.size());
  if (!write_all(fd_.get(), message.data(), message.size())) {
    *fault = "OPEN could not be sent";
    return false;
  }
  frame f;
  if (!reply_(&f, fault)) return false;
  *id = get_be32(f.header);
  if (status_of(f) != 0 || *id == 0) {
    *fault = "OPEN failed";
    return false;
  }
  return true;
}

bool driver_link::close_device(std::uint32_t id) {
  std::uint8_t message[LINK_HEADER_SIZE];
  encode_link_header(message, id, KIND_CLOSE, 0, 0);
  return write_all(fd_.get(), message, sizeof message);
}

scan_result driver_link::scan(std::uint32_t id, const scan_shape& shape, bool verify,
                              double max_seconds) {
  static constexpr std::uint8_t SCAN_COMMAND[] = {FS, 'G'};
  // The ACK message is the same for every block: made once.
  std::uint8_t ack[LINK_HEADER_SIZE + 1];
  encode_link_header(ack, id, KIND_DATA, 0, 1);
  ack[LINK_HEADER_SIZE] = ACK;

  block_checker checker(shape, verify);
  scan_result result;
  frame f;
  const double cpu0 = thread_cpu_seconds();
  const auto t0 = clock_type::now();
  const auto deadline = after(t0, max_seconds);
  auto last_block = t0;
  if (!send_data_(id, SCAN_COMMAND, sizeof SCAN_COMMAND)) {
    result.fault = "FS G could not be sent";
    return result;
  }
  // The information block and the first block answer FS G; each ACK then
  // fetches the next block.
  if (!reply_(&f, &result.fault, &result.stalled)) return result;
  if (status_of(f) != 0) {
    result.fault = "FS G failed";
    return result;
  }
  result.fault = check_info(f.payload, f.length, shape);
  if (!result.fault.empty()) return result;
  for (std::uint64_t i = 0; i < shape.blocks(); ++i) {
    if (i > 0 && i % CLOCK_EVERY == 0 && clock_type::now() >= deadline) {
      result.cut_short = true;
      break;
    }
    if (i > 0 && !write_all(fd_.get(), ack, sizeof ack)) {
      result.fault = "ACK could not be sent";
      return result;
    }
    if (!reply_(&f, &result.fault, &result.stalled)) {
      result.fault += " (waiting for block " + std::to_string(i) + ")";
      // A stalled scan still tells how fast the blocks came until then.
      if (result.stalled) result.seconds = std::chrono::duration<double>(last_block - t0).count();
      return result;
    }
    if (status_of(f) != 0) {
      result.fault = "block " + std::to_string(i) + " came with status -1";
      return result;
    }
    result.fault = checker.check(i, f.payload, f.length);
    if (!result.fault.empty()) return result;
    last_block = clock_type::now();
    if (i == 0) {
      result.first_block_seconds = std::chrono::duration<double>(last_block - t0).count();
      result.first_block_bytes = f.length;
    }
    result.bytes += f.length;
    ++result.blocks;
  }
  result.seconds = seconds_since(t0);
  result.busy = (thread_cpu_seconds() - cpu0) / result.seconds;
  return result;
}

round_trip_result driver_link::round_trips(std::uint32_t id, std::uint64_t count,
                                           double max_seconds) {
  std::uint8_t command[LINK_HEADER_SIZE + 2];
  encode_link_header(command, id, KIND_DATA, 0, 2);
  command[LINK_HEADER_SIZE] = ESC;
  command[LINK_HEADER_SIZE + 1] = '@';

  round_trip_result result;
  frame f;
  const auto t0 = clock_type::now();
  const auto deadline = after(t0, max_seconds);
  for (std::uint64_t i = 0; i < count && (i == 0 || clock_type::now() < deadline); ++i) {
    if (!write_all(fd_.get(), command, sizeof command)) {
      result.fault = "ESC @ could not be sent";
      return result;
    }
    if (!reply_(&f, &result.fault)) return result;
    if (status_of(f) != 0 || f.length != 1 || f.payload[0] != ACK) {
      result.fault = "ESC @ was not answered with [06]";
      return result;
    }
    ++result.count;
  }
  result.seconds = seconds_since(t0);
  return result;
}

scan_result direct_scan(int scanner_port, const scan_shape& shape, bool verify,
                        double max_seconds) {
  static constexpr std::uint8_t SETUP[] = {0x00, 0x02};
  static constexpr std::uint8_t SCAN_COMMAND[] = {FS, 'G'};
  scan_result result;
  unique_fd fd = connect_loopback(scanner_port);
  if (!fd) {
    result.fault = "cannot connect to the scanner";
    return result;
  }
  set_no_delay(fd.get());
  set_io_timeout(fd.get(), IO_TIMEOUT_S);
  stream_reader in(fd.get());
  frame f;
  if (!in.next_packet(&f) || f.header[2] != ptype::GREETING) {
    result.fault = "no greeting";
    return result;
  }
  std::uint8_t packet[PACKET_HEADER_SIZE + 2];
  encode_packet_header(packet, variant::nt, ptype::NT_CONTROL, 0, 2);
  std::memcpy(packet + PACKET_HEADER_SIZE, SETUP, 2);
  if (!write_all(fd.get(), packet, sizeof packet)) {
    result.fault = "setup could not be sent";
    return result;
  }

  block_checker checker(shape, verify);
  auto buffer =
      std::make_unique_for_overwrite<std::uint8_t[]>(PACKET_HEADER_SIZE + shape.largest_block());
  const double cpu0 = thread_cpu_seconds();
  const auto t0 = clock_type::now();
  const auto deadline = after(t0, max_seconds);
  encode_packet_header(packet, variant::nt, ptype::NT_SCAN, 0, 2);
  std::memcpy(packet + PACKET_HEADER_SIZE, SCAN_COMMAND, 2);
  if (!write_all(fd.get(), packet, sizeof packet)) {
    result.fault = "FS G could not be sent";
    return result;
  }
  std::uint8_t info[PACKET_HEADER_SIZE + INFO_BLOCK_SIZE];
  if (!in.read_into(info, sizeof info)) {
    result.fault = "no information block";
    return result;
  }
  result.fault = check_info(info + PACKET_HEADER_SIZE, get_be32(info + 6), shape);
  if (!result.fault.empty()) return result;
  for (std::uint64_t i = 0; i < shape.blocks(); ++i) {
    if (i > 0 && i % CLOCK_EVERY == 0 && clock_type::now() >= deadline) {
      result.cut_short = true;
      break;
    }
    const std::uint32_t n = shape.wire_size(i);
    if (!in.read_into(buffer.get(), PACKET_HEADER_SIZE + n)) {
      result.fault = "the stream ended at block " + std::to_string(i);
      return result;
    }
    result.fault = checker.check(i, buffer.get() + PACKET_HEADER_SIZE, get_be32(buffer.get() + 6));
    if (!result.fault.empty()) return result;
    if (i == 0) {
      result.first_block_seconds = seconds_since(t0);
      result.first_block_bytes = n;
    }
    result.bytes += n;
    ++result.blocks;
  }
  result.seconds = seconds_since(t0);
  result.busy = (thread_cpu_seconds() - cpu0) / result.seconds;
  return result;
}

}  // namespace scanbridge::bench
