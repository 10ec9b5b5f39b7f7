// SPDX-License-Identifier: MIT
#include "bench/ideal_relay.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/bytes.h"
#include "bench/scan_data.h"
#include "bench/socket.h"

namespace scanbridge::bench {

namespace {

constexpr int ACCEPT_TIMEOUT_MS = 60'000;
constexpr std::uint32_t DEVICE_ID = 1;

constexpr std::uint8_t NT_SETUP[] = {0x00, 0x02};
constexpr std::uint8_t IS_OPEN[] = {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};

// One driver, at most one device, and only the exchanges the benchmark
// drives: OPEN, CLOSE, ESC @ and a scan with one ACK per block.
class relay {
 public:
  explicit relay(unique_fd driver) : driver_(std::move(driver)), from_driver_(driver_.get()) {}

  // Serves the driver until it closes the link; false on any fault.
  bool run() {
    frame m;
    while (from_driver_.next_link_message(&m)) {
      const std::uint32_t id = get_be32(m.header);
      const std::uint32_t kind = get_be32(m.header + 4);
      bool ok = true;
      if (kind == KIND_OPEN) {
        ok = open_(std::string(reinterpret_cast<const char*>(m.payload), m.length));
      } else if (kind == KIND_CLOSE) {
        close_scanner_();
      } else if (kind == KIND_DATA && scanner_ && m.length == 2 && m.payload[0] == FS &&
                 m.payload[1] == 'G') {
        ok = scan_(id);
      } else if (kind == KIND_DATA && scanner_ && m.length == 2 && m.payload[0] == ESC &&
                 m.payload[1] == '@') {
        ok = reset_(id);
      } else {
        ok = reply_(id, -1, nullptr, 0);
      }
      if (!ok) return false;
    }
    close_scanner_();
    return true;
  }

 private:
  bool reply_(std::uint32_t id, std::int32_t status, const std::uint8_t* payload,
              std::uint32_t length) {
    std::uint8_t header[LINK_HEADER_SIZE];
    encode_link_header(header, id, KIND_DATA, status, length);
    iovec parts[2] = {{header, sizeof header}, {const_cast<std::uint8_t*>(payload), length}};
    return write_all(driver_.get(), parts, length == 0 ? 1 : 2);
  }

  bool send_packet_(std::uint8_t type, std::uint8_t flag, const std::uint8_t* payload,
                    std::uint32_t length) {
    std::uint8_t header[PACKET_HEADER_SIZE];
    encode_packet_header(header, variant_, type, flag, length);
    iovec parts[2] = {{header, sizeof header}, {const_cast<std::uint8_t*>(payload), length}};
    return write_all(scanner_.get(), parts, length == 0 ? 1 : 2);
  }

  bool open_(const std::string& uri) {
    // Only loopback scanners: the address is "//127.0.0.1:PORT".
    const std::size_t colon = uri.rfind(':');
    if (scanner_ || uri.find("//127.0.0.1:") == std::string::npos || colon == std::string::npos) {
      return reply_(0, -1, nullptr, 0);
    }
    const int port = static_cast<int>(std::strtol(uri.c_str() + colon + 1, nullptr, 10));
    scanner_ = connect_loopback(port);
    if (!scanner_) return reply_(0, -1, nullptr, 0);
    set_no_delay(scanner_.get());
    from_scanner_ = std::make_unique<stream_reader>(scanner_.get());
    frame greeting;
    if (!from_scanner_->next_packet(&greeting) || greeting.header[2] != ptype::GREETING ||
        greeting.length < 3) {
      return false;
    }
    variant_ = has_magic(greeting.header, variant::nt) ? variant::nt : variant::is;
    if (variant_ == variant::nt) {
      if (!send_packet_(ptype::NT_CONTROL, 0, NT_SETUP, sizeof NT_SETUP)) return false;
    } else {
      frame answer;
      if (!send_packet_(ptype::IS_CONTROL, 0, IS_OPEN, sizeof IS_OPEN) ||
          !from_scanner_->next_packet(&answer) || answer.header[2] != ptype::IS_CONTROL_REPLY) {
        return false;
      }
    }
    return reply_(DEVICE_ID, 0, nullptr, 0);
  }

  void close_scanner_() {
    if (!scanner_) return;
    if (variant_ == variant::is && send_packet_(ptype::IS_CONTROL, 1, nullptr, 0)) {
      frame answer;
      from_scanner_->next_packet(&answer);
    }
    from_scanner_.reset();
    scanner_.reset();
  }

  // ESC @: one write to the scanner, one read of its answer, one write of
  // the reply.
  bool reset_(std::uint32_t id) {
    std::uint8_t packet[PACKET_HEADER_SIZE + IS_PREFIX_SIZE + 2];
    std::uint32_t length;
    if (variant_ == variant::nt) {
      length = 2;
      encode_packet_header(packet, variant_, ptype::NT_COMMAND, 0, length);
      packet[PACKET_HEADER_SIZE] = ESC;
      packet[PACKET_HEADER_SIZE + 1] = '@';
    } else {
      length = IS_PREFIX_SIZE + 2;
      encode_packet_header(packet, variant_, ptype::IS_ESC_THRU, 0, length);
      encode_is_prefix(packet + PACKET_HEADER_SIZE, 2, 1);
      packet[PACKET_HEADER_SIZE + IS_PREFIX_SIZE] = ESC;
      packet[PACKET_HEADER_SIZE + IS_PREFIX_SIZE + 1] = '@';
    }
    if (!write_all(scanner_.get(), packet, PACKET_HEADER_SIZE + length)) return false;
    frame answer;
    if (!from_scanner_->next_packet(&answer)) return false;
    return reply_(id, 0, answer.payload, answer.length);
  }

  bool scan_(std::uint32_t id) {
    std::uint8_t packet[PACKET_HEADER_SIZE + IS_PREFIX_SIZE + 2];
    std::uint32_t length;
    if (variant_ == variant::nt) {
      length = 2;
      encode_packet_header(packet, variant_, ptype::NT_SCAN, 0, length);
      packet[PACKET_HEADER_SIZE] = FS;
      packet[PACKET_HEADER_SIZE + 1] = 'G';
    } else {
      length = IS_PREFIX_SIZE + 2;
      encode_packet_header(packet, variant_, ptype::IS_ESC_THRU, 0, length);
      encode_is_prefix(packet + PACKET_HEADER_SIZE, 2, INFO_BLOCK_SIZE);
      packet[PACKET_HEADER_SIZE + IS_PREFIX_SIZE] = FS;
      packet[PACKET_HEADER_SIZE + IS_PREFIX_SIZE + 1] = 'G';
    }
    if (!write_all(scanner_.get(), packet, PACKET_HEADER_SIZE + length)) return false;

    frame answer;
    if (!from_scanner_->next_packet(&answer) || answer.length != INFO_BLOCK_SIZE ||
        answer.payload[0] != STX || (answer.payload[1] & 0xC0) != 0) {
      return false;
    }
    std::uint8_t info[INFO_BLOCK_SIZE];
    std::memcpy(info, answer.payload, sizeof info);
    scan_shape shape;
    shape.block_size = get_le32(info + 2);
    shape.block_count = get_le32(info + 6);
    shape.last_block_size = get_le32(info + 10);
    if (variant_ == variant::is) {
      std::uint8_t request[64];
      const std::size_t n = encode_transfer_request(request, shape);
      if (!send_packet_(ptype::IS_TRANSFER, 0, request, static_cast<std::uint32_t>(n))) {
        return false;
      }
    }
    reserve_(LINK_HEADER_SIZE + shape.largest_block());
    if (!reply_(id, 0, info, sizeof info)) return false;

    // The hot loop: the first block answers FS G with the information, each
    // ACK then fetches one more.
    if (!relay_block_(id, shape.wire_size(0))) return false;
    frame ack;
    for (std::uint64_t i = 1; i < shape.blocks(); ++i) {
      // A driver that gives up on the scan closes the device or the link.
      if (!from_driver_.next_link_message(&ack)) return true;
      if (get_be32(ack.header + 4) == KIND_CLOSE) {
        close_scanner_();
        return true;
      }
      if (ack.length != 1 || ack.payload[0] != ACK) return false;
      if (!relay_block_(id, shape.wire_size(i))) return false;
    }
    return true;
  }

  // The block is read with its 12-byte packet header four bytes into the
  // buffer; the 16-byte link header then goes over the packet header, and
  // the buffer leaves in one write.
  bool relay_block_(std::uint32_t id, std::uint32_t n) {
    std::uint8_t* p = block_.get();
    if (!from_scanner_->read_into(p + (LINK_HEADER_SIZE - PACKET_HEADER_SIZE),
                                  PACKET_HEADER_SIZE + n)) {
      return false;
    }
    encode_link_header(p, id, KIND_DATA, 0, n);
    return write_all(driver_.get(), p, LINK_HEADER_SIZE + n);
  }

  void reserve_(std::size_t n) {
    if (n <= block_capacity_) return;
    block_ = std::make_unique_for_overwrite<std::uint8_t[]>(n);
    block_capacity_ = n;
  }

  unique_fd driver_;
  stream_reader from_driver_;
  unique_fd scanner_;
  std::unique_ptr<stream_reader> from_scanner_;
  variant variant_ = variant::nt;
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t block_capacity_ = 0;
};

}  // namespace

int ideal_relay_main() {
  // The harness stops a relay the way it stops the bridge: SIGTERM, then the
  // end of the link. The ideal relay simply ends with the link.
  signal(SIGTERM, SIG_IGN);
  int port = 0;
  unique_fd listener = listen_loopback(&port);
  std::printf("%d\n", listener ? port : -1);
  std::fflush(stdout);
  if (!listener) return 1;
  unique_fd driver = accept_within(listener.get(), ACCEPT_TIMEOUT_MS);
  listener.reset();
  if (!driver) return 1;
  set_no_delay(driver.get());
  relay r(std::move(driver));
  if (!r.run()) {
    std::fputs("ideal relay: the session broke off\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace scanbridge::bench
