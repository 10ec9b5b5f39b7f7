// SPDX-License-Identifier: MIT
#include "bench/scanner_sim.h"

#include <time.h>

#include <chrono>
#include <cstring>
#include <utility>

namespace scanbridge::bench {

namespace {

constexpr int ACCEPT_TIMEOUT_MS = 20'000;
constexpr int IO_TIMEOUT_S = 30;

constexpr std::uint8_t GREETING[] = {0x01, 0x02, 0x00};  // version 1.2, status 0
constexpr std::uint8_t NT_SETUP[] = {0x00, 0x02};
constexpr std::uint8_t IS_OPEN[] = {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};
constexpr std::uint8_t SCAN_COMMAND[] = {FS, 'G'};
constexpr std::uint8_t RESET_COMMAND[] = {ESC, '@'};
constexpr std::uint8_t ACK_REPLY[] = {ACK};

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool payload_is(const frame& f, const std::uint8_t* bytes, std::size_t n) {
  return f.length == n && std::memcmp(f.payload, bytes, n) == 0;
}

// An IS command chunk: prefix (length, reply size), then the command bytes.
bool is_chunk_is(const frame& f, const std::uint8_t* command, std::uint32_t n,
                 std::uint32_t reply_size) {
  std::uint8_t expected[IS_PREFIX_SIZE + 2];
  encode_is_prefix(expected, n, reply_size);
  std::memcpy(expected + IS_PREFIX_SIZE, command, n);
  return payload_is(f, expected, IS_PREFIX_SIZE + n);
}

}  // namespace

scanner_sim::scanner_sim(variant v, const scan_shape& shape)
    : variant_(v),
      shape_(shape),
      full_(shape.block_size + 1),
      last_(shape.last_block_size + 1),
      listener_(listen_loopback(&port_)) {}

scanner_sim::~scanner_sim() {
  if (thread_.joinable()) thread_.join();
}

std::string scanner_sim::uri() const {
  return "net://127.0.0.1:" + std::to_string(port_);
}

void scanner_sim::start() {
  thread_ = std::thread([this] { serve_(); });
}

std::string scanner_sim::finish() {
  if (thread_.joinable()) thread_.join();
  return fault_text_;
}

bool scanner_sim::fault_(std::string text) {
  if (fault_text_.empty()) fault_text_ = "scanner: " + std::move(text);
  return false;
}

void scanner_sim::serve_() {
  unique_fd conn = accept_within(listener_.get(), ACCEPT_TIMEOUT_MS);
  listener_.reset();
  if (!conn) {
    fault_("nobody connected");
    return;
  }
  set_no_delay(conn.get());
  set_io_timeout(conn.get(), IO_TIMEOUT_S);
  stream_reader in(conn.get());
  if (!open_session_(conn.get(), in)) return;
  frame f;
  // The session ends when the peer closes the connection.
  while (in.next_packet(&f)) {
    if (!handle_(conn.get(), in, f)) return;
  }
}

bool scanner_sim::send_packet_(int fd, std::uint8_t type, std::uint8_t flag,
                               const std::uint8_t* payload, std::uint32_t length) {
  std::uint8_t header[PACKET_HEADER_SIZE];
  encode_packet_header(header, variant_, type, flag, length);
  iovec parts[2] = {{header, sizeof header}, {const_cast<std::uint8_t*>(payload), length}};
  if (!write_all(fd, parts, length == 0 ? 1 : 2)) return fault_("write failed");
  return true;
}

bool scanner_sim::open_session_(int fd, stream_reader& in) {
  if (!send_packet_(fd, ptype::GREETING, 0, GREETING, sizeof GREETING)) return false;
  frame f;
  if (!in.next_packet(&f)) return fault_("no opening request after the greeting");
  if (!has_magic(f.header, variant_)) return fault_("opening request with the wrong magic");
  if (variant_ == variant::nt) {
    if (f.header[2] != ptype::NT_CONTROL || !payload_is(f, NT_SETUP, sizeof NT_SETUP)) {
      return fault_("NT setup request differs");
    }
    return true;
  }
  if (f.header[2] != ptype::IS_CONTROL || f.header[3] != 0 ||
      !payload_is(f, IS_OPEN, sizeof IS_OPEN)) {
    return fault_("IS open request differs");
  }
  return send_packet_(fd, ptype::IS_CONTROL_REPLY, 0, ACK_REPLY, sizeof ACK_REPLY);
}

bool scanner_sim::handle_(int fd, stream_reader& in, const frame& f) {
  if (!has_magic(f.header, variant_)) return fault_("packet with the wrong magic");
  const std::uint8_t type = f.header[2];
  const std::uint8_t flag = f.header[3];
  std::uint8_t info[INFO_BLOCK_SIZE];
  encode_info_block(info, shape_);

  if (variant_ == variant::nt) {
    if (type == ptype::NT_SCAN && payload_is(f, SCAN_COMMAND, sizeof SCAN_COMMAND)) {
      if (!send_packet_(fd, ptype::NT_SCAN_REPLY, 0, info, sizeof info)) return false;
      return stream_scan_(fd, ptype::NT_SCAN_REPLY);
    }
    if (type == ptype::NT_COMMAND && payload_is(f, RESET_COMMAND, sizeof RESET_COMMAND)) {
      return send_packet_(fd, ptype::NT_COMMAND_REPLY, 0, ACK_REPLY, sizeof ACK_REPLY);
    }
    return fault_("unexpected NT packet of type " + std::to_string(type));
  }

  if (type == ptype::IS_ESC_THRU && is_chunk_is(f, SCAN_COMMAND, 2, INFO_BLOCK_SIZE)) {
    if (!send_packet_(fd, ptype::IS_REPLY, 0, info, sizeof info)) return false;
    frame request;
    if (!in.next_packet(&request)) return fault_("no transfer request after the information");
    std::uint8_t expected[64];
    const std::size_t n = encode_transfer_request(expected, shape_);
    if (!has_magic(request.header, variant_) || request.header[2] != ptype::IS_TRANSFER ||
        request.header[3] != 0 || !payload_is(request, expected, n)) {
      return fault_("IS transfer request differs");
    }
    return stream_scan_(fd, ptype::IS_TRANSFER_REPLY);
  }
  if (type == ptype::IS_ESC_THRU && is_chunk_is(f, RESET_COMMAND, 2, 1)) {
    return send_packet_(fd, ptype::IS_REPLY, 0, ACK_REPLY, sizeof ACK_REPLY);
  }
  if (type == ptype::IS_CONTROL && flag == 1 && f.length == 0) {
    return send_packet_(fd, ptype::IS_CONTROL_REPLY, 1, ACK_REPLY, sizeof ACK_REPLY);
  }
  return fault_("unexpected IS packet of type " + std::to_string(type));
}

bool scanner_sim::stream_scan_(int fd, std::uint8_t type) {
  // The headers are made once; each block is its prebuilt image restamped
  // with its index and sent with one vectored write. TCP flow control paces
  // the stream: the scanner takes no acknowledgements.
  std::uint8_t full_header[PACKET_HEADER_SIZE];
  std::uint8_t last_header[PACKET_HEADER_SIZE];
  encode_packet_header(full_header, variant_, type, 0, full_.size());
  encode_packet_header(last_header, variant_, type, 0, last_.size());
  const double cpu0 = thread_cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  bool ok = true;
  for (std::uint64_t i = 0; ok && i < shape_.blocks(); ++i) {
    const bool is_last = i == shape_.block_count;
    block_image& block = is_last ? last_ : full_;
    block.stamp(i);
    iovec parts[2] = {{is_last ? last_header : full_header, PACKET_HEADER_SIZE},
                      {block.data(), block.size()}};
    if (!write_all(fd, parts, 2)) ok = fault_("block write failed at block " + std::to_string(i));
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (wall > 0) busy_ = (thread_cpu_seconds() - cpu0) / wall;
  return ok;
}

}  // namespace scanbridge::bench
