// SPDX-License-Identifier: MIT
#include "tests/support/link_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "tests/support/loopback.h"

namespace scanbridge::testing {

namespace {

void put_be32(bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t get_be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

bytes link_message(std::uint32_t id, std::uint32_t kind, const bytes& payload,
                   std::uint32_t status) {
  bytes out;
  put_be32(out, id);
  put_be32(out, kind);
  put_be32(out, status);
  put_be32(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::ostream& operator<<(std::ostream& out, const link_reply& reply) {
  return out << "{id " << reply.id << ", kind " << reply.kind << ", status "
             << static_cast<std::int32_t>(reply.status) << ", length " << reply.length
             << ", payload [" << hex(reply.payload) << "]}";
}

link_client::link_client(unique_fd fd) : fd_(std::move(fd)) {
  if (fd_) {
    const int on = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

link_client link_client::connect(int port) {
  return link_client(connect_loopback(port));
}

link_client link_client::connect_retry(int port, std::chrono::milliseconds timeout) {
  return link_client(connect_loopback_retry(port, timeout));
}

bool link_client::send(std::uint32_t id, std::uint32_t kind, const bytes& payload,
                       std::uint32_t status) const {
  return send_raw(link_message(id, kind, payload, status));
}

std::optional<link_reply> link_client::receive(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const bytes header = read_exact(fd_.get(), 16, timeout);
  if (header.size() != 16) return std::nullopt;
  link_reply reply{
      get_be32(&header[0]), get_be32(&header[4]), get_be32(&header[8]), get_be32(&header[12]), {}};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  reply.payload = read_exact(fd_.get(), reply.length, std::max(left, 0ms));
  if (reply.payload.size() != reply.length) return std::nullopt;
  return reply;
}

bool link_client::ping(std::uint32_t id, std::chrono::milliseconds timeout) const {
  return send(id, KIND_PING) && receive(timeout) == link_reply{id, 0, 0xFFFFFFFF, 0, {}};
}

bool link_client::leave(std::chrono::milliseconds timeout) {
  ::shutdown(fd_.get(), SHUT_WR);
  const bool closed = testing::expect_eof(fd_.get(), timeout);
  fd_.reset();
  return closed;
}

void link_client::reset() {
  reset_close(fd_);
}

}  // namespace scanbridge::testing
