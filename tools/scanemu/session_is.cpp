// SPDX-License-Identifier: MIT
#include "tools/scanemu/session_is.h"

#include <algorithm>
#include <string_view>

#include "tools/scanemu/log.h"

namespace scanbridge::tools::scanemu {
namespace {

constexpr std::uint8_t kCommand = 0x20;
constexpr std::uint8_t kReply = 0xA0;
constexpr std::uint8_t kControl = 0x21;
constexpr std::uint8_t kControlReply = 0xA1;
constexpr std::uint8_t kTransfer = 0x22;
constexpr std::uint8_t kTransferReply = 0xA2;
constexpr std::size_t kChunkPrefix = 8;

// Letters of the settings whose value follows the bare command.
constexpr std::string_view kSettingLetters = "ABCDHKLMNQRZdegmpstz";

}  // namespace

session_is::session_is(connection_control& control, const emulator_options& options, int id)
    : session(control, options, id, "IS"), extended_requests_(scanner_, options) {}

bool session_is::is_command_(const packet& p) const {
  return p.type == kCommand || p.type == kTransfer;
}

bool session_is::handle_(packet& p) {
  if (p.type == kControl) return control_(p);
  if (!opened_) {
    log_("packet of type " + hex_byte(p.type) + " before the open request; closing");
    return false;
  }
  switch (p.type) {
    case kCommand:
      return chunk_(p);
    case kTransfer:
      return transfer_(p);
    default:
      log_("unexpected packet of type " + hex_byte(p.type) + "; answering NAK");
      return send_reply_(static_cast<std::uint8_t>(p.type | 0x80), 0, {NAK});
  }
}

bool session_is::control_(const packet& p) {
  static const bytes kOpen = {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};
  if (p.flag == 0) {
    if (p.payload != kOpen) {
      log_("open request " + hex_bytes(p.payload.data(), p.payload.size()) + "; answering NAK");
      return channel_.send(kControlReply, 0, {NAK});
    }
    opened_ = true;
    return channel_.send(kControlReply, 0, {ACK});
  }
  if (p.flag == 1) {
    if (!p.payload.empty()) log_("close request with a payload; closing all the same");
    // Whatever follows the close belongs to no session.
    opened_ = false;
    return channel_.send(kControlReply, 1, {ACK});
  }
  log_("control request with flag " + std::to_string(p.flag) + "; answering NAK");
  return channel_.send(kControlReply, p.flag, {NAK});
}

bool session_is::chunk_(const packet& p) {
  if (p.payload.size() < kChunkPrefix) {
    log_("command packet of " + std::to_string(p.payload.size()) +
         " bytes, shorter than its chunk prefix; closing");
    return false;
  }
  const std::uint32_t length = get_be32(p.payload.data());
  const std::uint32_t reply_size = get_be32(p.payload.data() + 4);
  if (length != p.payload.size() - kChunkPrefix) {
    log_("chunk prefix announces " + std::to_string(length) + " bytes but " +
         std::to_string(p.payload.size() - kChunkPrefix) + " follow; closing");
    return false;
  }
  if (reply_size > MAX_BLOCK_SIZE) {
    log_("chunk prefix asks for " + std::to_string(reply_size) + " reply bytes; closing");
    return false;
  }
  if (awaiting_transfer_) {
    log_("expected the transfer request after the information block; the scan is dropped");
    awaiting_transfer_.reset();
  }
  const bytes data(p.payload.begin() + kChunkPrefix, p.payload.end());
  if (extended_mode_) return extended_(data, reply_size);
  return legacy_(data, reply_size);
}

bool session_is::legacy_(const bytes& data, std::uint32_t reply_size) {
  if (data.empty()) return serve_pending_(reply_size);
  pending_.clear();
  if (awaiting_value_) {
    const auto prefix = static_cast<std::uint8_t>(*awaiting_value_ >> 8);
    const auto letter = static_cast<std::uint8_t>(*awaiting_value_);
    awaiting_value_.reset();
    const bool accepted = scanner_.apply(prefix, letter, data.data(), data.size());
    return answer_({accepted ? ACK : NAK}, reply_size, "a setting's value");
  }
  if (data.size() > 2) {
    log_("command of " + std::to_string(data.size()) + " bytes; answering NAK");
    return answer_({NAK}, reply_size, nullptr);
  }
  const std::uint8_t prefix = data[0];
  const std::uint8_t letter = data.size() > 1 ? data[1] : 0;
  if (prefix == FS) return fs_command_(letter, reply_size);
  return esc_command_(prefix, letter, reply_size);
}

bool session_is::esc_command_(std::uint8_t prefix, std::uint8_t letter, std::uint32_t reply_size) {
  if (letter != 0 && kSettingLetters.find(static_cast<char>(letter)) != std::string_view::npos) {
    awaiting_value_ = static_cast<std::uint16_t>(prefix << 8 | letter);
    return answer_({ACK}, reply_size, "a setting command");
  }
  switch (letter) {
    // Variable replies: the peer asks for the 4-byte head, then for the rest.
    case 'I':
      return answer_(scanner_.identity(), reply_size, nullptr);
    case 'f':
      return answer_(scanner_.extended_status(), reply_size, nullptr);
    case 'q':
      return answer_(scanner_.counters(), reply_size, nullptr);
    case 'i':
      return answer_(scanner_.image_info(), reply_size, nullptr);
    case '!':
      return answer_(scanner_.notice_report(), reply_size, nullptr);
    case 'F':
      return answer_(scanner_.status(), reply_size, "ESC 'F'");
    case '@':
      scanner_.reset();
      return answer_({ACK}, reply_size, "ESC '@'");
    case 'G':
      // Scans start with FS 'G' in this variant.
      return answer_({NAK}, reply_size, "ESC 'G'");
    default:
      return answer_({ACK}, reply_size, "a command");
  }
}

bool session_is::fs_command_(std::uint8_t letter, std::uint32_t reply_size) {
  switch (letter) {
    case 'G': {
      const std::optional<scan_layout> layout = scanner_.plan();
      const auto info = info_block(layout);
      if (!answer_(bytes(info.begin(), info.end()), reply_size, "FS 'G'")) return false;
      awaiting_transfer_ = layout;
      return true;
    }
    case 'F':
      return answer_(scanner_.fs_status(), reply_size, "FS 'F'");
    case 'I':
      return answer_(scanner_.device_info(), reply_size, "FS 'I'");
    case 'S':
      return answer_(scanner_.scan_parameters(), reply_size, "FS 'S'");
    case 'W':
      awaiting_value_ = static_cast<std::uint16_t>(FS << 8 | letter);
      return answer_({ACK}, reply_size, "FS 'W'");
    case 'X':
    case 'Y':
    case 'Z':
      if (options_.no_extended) return answer_({NAK}, reply_size, "FS X/Y/Z");
      if (!answer_({ACK}, reply_size, "FS X/Y/Z")) return false;
      extended_mode_ = true;
      awaiting_payload_.reset();
      return true;
    default:
      return answer_({ACK}, reply_size, "a command");
  }
}

bool session_is::extended_(const bytes& data, std::uint32_t reply_size) {
  if (awaiting_payload_ && !data.empty()) {
    const announced_request request = std::move(*awaiting_payload_);
    awaiting_payload_.reset();
    if (data.size() != request.size) {
      log_("payload of " + std::to_string(data.size()) + " bytes for a request that announced " +
           std::to_string(request.size));
    }
    return send_extended_(extended_requests_.handle(request.code, data), reply_size);
  }
  if (data.empty()) return serve_pending_(reply_size);
  pending_.clear();
  if (data.size() == REQUEST_SIZE) {
    awaiting_payload_.reset();
    const std::string code(data.begin(), data.begin() + 4);
    const std::optional<std::uint32_t> size = parse_announced_size(data.data());
    if (!size) {
      log_("malformed extended request \"" + std::string(data.begin(), data.end()) + "\"");
      return send_extended_(extended_requests::malformed(), reply_size);
    }
    if (*size == 0) return send_extended_(extended_requests_.handle(code, {}), reply_size);
    // The payload comes next; an empty answer lets the peer send it.
    awaiting_payload_ = announced_request{code, *size};
    return answer_({}, reply_size, "a request with payload");
  }
  if (data.size() <= 2) {
    log_("legacy command in extended mode; extended mode ends");
    extended_mode_ = false;
    awaiting_payload_.reset();
    return legacy_(data, reply_size);
  }
  log_("extended request of " + std::to_string(data.size()) + " bytes, expected " +
       std::to_string(REQUEST_SIZE));
  return send_extended_(extended_requests::malformed(), reply_size);
}

bool session_is::send_extended_(extended_requests::answer answer, std::uint32_t reply_size) {
  if (!answer_(answer.header, reply_size, "a reply header")) return false;
  pending_ = std::move(answer.payload);
  if (answer.leaves) extended_mode_ = false;
  return true;
}

bool session_is::transfer_(const packet& p) {
  if (p.flag == 1) {
    static const bytes kCancel = {0, 0, 0, 1, 0, 0, 0, 1, CAN};
    if (p.payload != kCancel) {
      log_("cancel request " + hex_bytes(p.payload.data(), p.payload.size()) +
           "; cancelling all the same");
    }
    awaiting_transfer_.reset();
    return send_reply_(kTransferReply, 0, {ACK});
  }
  if (p.flag != 0) {
    log_("transfer packet with flag " + std::to_string(p.flag) + "; answering NAK");
    return send_reply_(kTransferReply, 0, {NAK});
  }
  if (!awaiting_transfer_) {
    log_("transfer request without an information block before it; closing");
    return false;
  }
  const scan_layout layout = *awaiting_transfer_;
  awaiting_transfer_.reset();
  const std::string error = check_transfer_request(layout, p.payload.data(), p.payload.size());
  if (!error.empty()) {
    log_("wrong transfer request: " + error + "; closing");
    return false;
  }
  packet interruption;
  switch (stream_(kTransferReply, layout, interruption)) {
    case stream_end::COMPLETED:
      scanner_.count_scan();
      return true;
    case stream_end::CLOSED:
      return false;
    case stream_end::INTERRUPTED:
      break;
  }
  const bool cancel = interruption.type == kTransfer && interruption.flag == 1;
  if (!cancel) {
    log_("scan abandoned: a packet of type " + hex_byte(interruption.type) +
         " arrived in the middle of it");
  } else if (channel_.verbose()) {
    log_("scan cancelled");
  }
  // The loop answers it, a cancel with ACK.
  defer_(std::move(interruption));
  return true;
}

bool session_is::answer_(const bytes& answer, std::uint32_t reply_size, const char* what) {
  if (what != nullptr && answer.size() != reply_size) {
    log_(std::string("peer asks for ") + std::to_string(reply_size) + " reply bytes to " + what +
         ", whose answer has " + std::to_string(answer.size()));
  }
  bytes out(reply_size, 0);
  const std::size_t taken = std::min<std::size_t>(answer.size(), reply_size);
  std::copy_n(answer.begin(), taken, out.begin());
  pending_.assign(answer.begin() + static_cast<std::ptrdiff_t>(taken), answer.end());
  return send_reply_(kReply, 0, out);
}

bool session_is::serve_pending_(std::uint32_t reply_size) {
  const bytes answer = std::move(pending_);
  pending_.clear();
  return answer_(answer, reply_size, "a prefix-only request");
}

}  // namespace scanbridge::tools::scanemu
