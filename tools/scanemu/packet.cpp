// SPDX-License-Identifier: MIT
#include "tools/scanemu/packet.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/scanemu/log.h"

namespace scanbridge::tools::scanemu {

void put_header(std::uint8_t* out, std::string_view magic, std::uint8_t type, std::uint8_t flag,
                std::uint32_t length) {
  out[0] = static_cast<std::uint8_t>(magic[0]);
  out[1] = static_cast<std::uint8_t>(magic[1]);
  out[2] = type;
  out[3] = flag;
  out[4] = 0;
  out[5] = static_cast<std::uint8_t>(HEADER_SIZE);
  put_be32(out + 6, length);
  out[10] = 0;
  out[11] = 0;
}

bool write_all(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

read_status read_exact(int fd, void* data, std::size_t n) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (n > 0) {
    const ssize_t got = ::recv(fd, p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) return read_status::END;
    if (got < 0) return read_status::FAILED;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return read_status::OK;
}

packet_channel::packet_channel(connection_control& control, std::string_view magic,
                               const emulator_options& options, int id)
    : control_(control),
      magic_(magic),
      options_(options),
      prefix_("scanemu[" + std::to_string(id) + "]: ") {}

void packet_channel::log(const std::string& text) const {
  log_line(prefix_ + text);
}

packet_channel::event packet_channel::wait(packet& out) {
  for (;;) {
    pollfd fds[2] = {{control_.wake_fd(), POLLIN, 0}, {control_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log(std::string("poll failed: ") + std::strerror(errno));
      return event::CLOSED;
    }
    if (control_.stopping()) return event::CLOSED;
    if (fds[0].revents != 0) return event::WAKE;
    if (fds[1].revents != 0) return read_packet_(out);
  }
}

std::optional<packet_channel::event> packet_channel::poll(packet& out) {
  pollfd fds[2] = {{control_.wake_fd(), POLLIN, 0}, {control_.fd(), POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(fds, 2, 0);
  } while (ready < 0 && errno == EINTR);
  if (control_.stopping()) return event::CLOSED;
  if (ready <= 0) return std::nullopt;
  if (fds[0].revents != 0) return event::WAKE;
  return read_packet_(out);
}

packet_channel::event packet_channel::read_packet_(packet& out) {
  std::uint8_t header[HEADER_SIZE];
  const read_status status = read_exact(control_.fd(), header, sizeof header);
  if (status == read_status::END) {
    if (verbose()) log("peer closed the connection");
    return event::CLOSED;
  }
  if (status == read_status::FAILED) {
    if (!control_.stopping()) log(std::string("read failed: ") + std::strerror(errno));
    return event::CLOSED;
  }
  if (header[0] != magic_[0] || header[1] != magic_[1]) {
    log("packet header with magic " + hex_bytes(header, 2) + ", expected \"" + magic_ +
        "\"; closing");
    return event::CLOSED;
  }
  const std::uint32_t length = get_be32(header + 6);
  if (length > MAX_BLOCK_SIZE) {
    log("packet of type " + hex_byte(header[2]) + " announces " + std::to_string(length) +
        " payload bytes, more than accepted; closing");
    return event::CLOSED;
  }
  out.type = header[2];
  out.flag = header[3];
  out.payload.resize(length);
  if (length > 0 && read_exact(control_.fd(), out.payload.data(), length) != read_status::OK) {
    log("connection ended inside a packet of type " + hex_byte(out.type));
    return event::CLOSED;
  }
  if (verbose()) {
    log("<- " + hex_byte(out.type) + " flag " + std::to_string(out.flag) + ", " +
        byte_count(length) + ": " + hex_bytes(out.payload.data(), length));
  }
  return event::PACKET;
}

void packet_channel::pause_() {
  if (options_.delay_ms > 0) control_.sleep_for(std::chrono::milliseconds(options_.delay_ms));
}

bool packet_channel::send(std::uint8_t type, std::uint8_t flag,
                          const std::vector<std::uint8_t>& payload) {
  // Header and payload go out in one write, so that no peer ever waits for
  // the second half of a packet because of the small-segment delay.
  out_.resize(HEADER_SIZE + payload.size());
  put_header(out_.data(), magic_, type, flag, static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(out_.data() + HEADER_SIZE, payload.data(), payload.size());
  if (verbose()) {
    log("-> " + hex_byte(type) + " flag " + std::to_string(flag) + ", " +
        byte_count(payload.size()) + ": " + hex_bytes(payload.data(), payload.size()));
  }
  pause_();
  return write_all(control_.fd(), out_.data(), out_.size());
}

bool packet_channel::send_header_only(std::uint8_t type, std::uint32_t length) {
  std::uint8_t header[HEADER_SIZE];
  put_header(header, magic_, type, 0, length);
  if (verbose()) {
    log("-> " + hex_byte(type) + " header announcing " + byte_count(length));
  }
  pause_();
  return write_all(control_.fd(), header, sizeof header);
}

bool packet_channel::send_framed(const std::uint8_t* data, std::size_t n) {
  pause_();
  return write_all(control_.fd(), data, n);
}

void packet_channel::discard_until_closed() {
  std::vector<std::uint8_t> sink(64 * 1024);
  for (;;) {
    pollfd fds[2] = {{control_.wake_fd(), POLLIN, 0}, {control_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (control_.stopping()) return;
    if (fds[0].revents != 0) control_.take_requests();
    if (fds[1].revents == 0) continue;
    const ssize_t got = ::recv(control_.fd(), sink.data(), sink.size(), 0);
    if (got == 0 || (got < 0 && errno != EINTR)) return;
  }
}

void packet_channel::wait_until_sent() {
  // The peer acknowledges bytes as they reach its receive buffer, so an empty
  // send queue means that everything sent can still be read after an RST.
  for (int tries = 0; tries < 2000; ++tries) {
    int unsent = 0;
    if (::ioctl(control_.fd(), SIOCOUTQ, &unsent) != 0 || unsent == 0) return;
    if (!control_.sleep_for(std::chrono::milliseconds(1))) return;
  }
  log("peer has not taken all data before the reset");
}

}  // namespace scanbridge::tools::scanemu
