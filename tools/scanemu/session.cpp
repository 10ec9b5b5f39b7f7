// SPDX-License-Identifier: MIT
#include "tools/scanemu/session.h"

#include <algorithm>

#include "tools/scanemu/image_source.h"
#include "tools/scanemu/log.h"
#include "tools/scanemu/session_is.h"
#include "tools/scanemu/session_nt.h"

namespace scanbridge::tools::scanemu {
namespace {

// Small blocks are gathered into writes of about this size, so that the
// cost per block stays small; the peer's cancel is looked for in between.
constexpr std::size_t kBatchBytes = 1 << 20;

}  // namespace

session::session(connection_control& control, const emulator_options& options, int id,
                 std::string_view magic)
    : options_(options), channel_(control, magic, options, id), scanner_(options) {}

void session::run() {
  if (!greet_()) return;
  if (options_.close_after_greeting) {
    if (channel_.verbose()) log_("closing after the greeting");
    return;
  }
  packet p;
  for (;;) {
    if (deferred_) {
      p = std::move(*deferred_);
      deferred_.reset();
    } else {
      const packet_channel::event event = channel_.wait(p);
      if (event == packet_channel::event::CLOSED) break;
      if (event == packet_channel::event::WAKE) {
        if (!handle_requests_()) break;
        continue;
      }
    }
    if (is_command_(p) && !count_command_()) break;
    if (!handle_(p)) break;
  }
  if (draining_) channel_.discard_until_closed();
}

bool session::greet_() {
  const std::string_view magic = options_.wrong_magic ? "ZZ" : channel_.magic();
  // Version, status, and a reserved byte that a peer must skip.
  const std::uint8_t payload[] = {options_.greeting_major, options_.greeting_minor,
                                  options_.greeting_status, 0};
  std::uint8_t bytes[HEADER_SIZE + sizeof payload];
  put_header(bytes, magic, GREETING, 0, sizeof payload);
  std::copy(std::begin(payload), std::end(payload), bytes + HEADER_SIZE);
  if (channel_.verbose()) {
    log_("-> greeting \"" + std::string(magic) + "\" " + hex_bytes(payload, sizeof payload));
  }
  return channel_.send_framed(bytes, sizeof bytes);
}

bool session::count_command_() {
  ++commands_;
  if (options_.disconnect_after != 0 && commands_ >= options_.disconnect_after) {
    log_("sending a disconnect event after " + std::to_string(commands_) + " command packets");
    send_notice_(DISCONNECT_EVENT);
    return false;
  }
  if (options_.notice_every != 0 && commands_ % options_.notice_every == 0) {
    return send_notice_(options_.notice_code);
  }
  return true;
}

bool session::handle_requests_() {
  const unsigned requests = channel_.control().take_requests();
  if (requests & REQUEST_DISCONNECT) {
    log_("sending a disconnect event on request");
    if (accepts_notices_()) send_notice_(DISCONNECT_EVENT);
    return false;
  }
  if ((requests & REQUEST_NOTICE) && accepts_notices_()) {
    return send_notice_(options_.notice_code);
  }
  return true;
}

bool session::send_notice_(std::uint8_t code) {
  // Event 1 is the one that the notice query reports.
  if (code == 1) scanner_.raise_notice();
  return channel_.send(notice_type(), 0, {code});
}

bool session::send_reply_(std::uint8_t type, std::uint8_t flag,
                          const std::vector<std::uint8_t>& payload) {
  for (std::uint32_t i = 0; i < options_.notice_storm; ++i) {
    if (!send_notice_(options_.notice_code)) return false;
  }
  if (options_.oversized_header && !oversized_sent_) {
    oversized_sent_ = true;
    draining_ = true;
    log_("answering with a header that announces " + std::to_string(OVERSIZED_LENGTH) +
         " bytes, then waiting for the peer to close");
    channel_.send_header_only(type, OVERSIZED_LENGTH);
    return false;
  }
  return channel_.send(type, flag, payload);
}

bool session::reset_due_() const {
  return options_.reset_after_blocks && blocks_sent_ >= *options_.reset_after_blocks;
}

void session::reset_connection_() {
  log_("resetting the connection after " + std::to_string(blocks_sent_) + " data blocks");
  channel_.wait_until_sent();
  channel_.control().close(true);
}

session::stream_end session::stream_(std::uint8_t type, const scan_layout& layout,
                                     packet& interruption) {
  const image_source image(scanner_.settings().geometry);
  const std::size_t largest = HEADER_SIZE + layout.block_size + 1;
  if (batch_.size() < std::max(kBatchBytes, largest)) batch_.resize(std::max(kBatchBytes, largest));

  std::uint64_t offset = 0;
  std::uint64_t index = 0;
  while (index < layout.blocks()) {
    if (reset_due_()) {
      reset_connection_();
      return stream_end::CLOSED;
    }
    std::size_t used = 0;
    // With --delay-ms every block is its own write, paused before.
    do {
      const std::uint32_t size = layout.size_of(index);
      std::uint8_t* p = batch_.data() + used;
      put_header(p, channel_.magic(), type, 0, size + 1);
      image.copy(offset, p + HEADER_SIZE, size);
      p[HEADER_SIZE + size] = 0;
      used += HEADER_SIZE + size + 1;
      offset += size;
      ++index;
      ++blocks_sent_;
      if (channel_.verbose()) {
        log_("-> " + hex_byte(type) + " data block " + std::to_string(index) + " of " +
             std::to_string(layout.blocks()) + ", " + byte_count(size + 1));
      }
    } while (index < layout.blocks() && options_.delay_ms == 0 && !reset_due_() &&
             used + HEADER_SIZE + layout.size_of(index) + 1 <= batch_.size());
    if (!channel_.send_framed(batch_.data(), used)) return stream_end::CLOSED;
    // Once the last block is out the scan is complete: whatever the peer
    // sends now (the next command, the close request of a driver that has
    // its image) is for the loop, not a cancel or an interruption.
    if (index == layout.blocks()) break;

    if (const auto event = channel_.poll(interruption)) {
      switch (*event) {
        case packet_channel::event::PACKET:
          return stream_end::INTERRUPTED;
        case packet_channel::event::CLOSED:
          return stream_end::CLOSED;
        case packet_channel::event::WAKE:
          if (!handle_requests_()) return stream_end::CLOSED;
          break;
      }
    }
  }
  if (reset_due_()) {
    reset_connection_();
    return stream_end::CLOSED;
  }
  return stream_end::COMPLETED;
}

std::unique_ptr<session> make_session(connection_control& control, const emulator_options& options,
                                      int id) {
  if (options.protocol == variant::NT) return std::make_unique<session_nt>(control, options, id);
  return std::make_unique<session_is>(control, options, id);
}

}  // namespace scanbridge::tools::scanemu
