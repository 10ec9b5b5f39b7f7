// SPDX-License-Identifier: MIT
#include "tools/scanemu/session_nt.h"

#include "tools/scanemu/log.h"
#include "tools/scanemu/parameter_block.h"

namespace scanbridge::tools::scanemu {
namespace {

constexpr std::uint8_t kControl = 0x11;
constexpr std::uint8_t kControlReply = 0x91;
constexpr std::uint8_t kCommand = 0x01;
constexpr std::uint8_t kCommandReply = 0x81;
constexpr std::uint8_t kParameters = 0x02;
constexpr std::uint8_t kParametersReply = 0x82;
constexpr std::uint8_t kFsCommand = 0x08;
constexpr std::uint8_t kFsCommandReply = 0x88;
constexpr std::uint8_t kScanReply = 0x89;

}  // namespace

session_nt::session_nt(connection_control& control, const emulator_options& options, int id)
    : session(control, options, id, "NT") {}

bool session_nt::is_command_(const packet& p) const {
  return p.type == kCommand || p.type == kParameters || p.type == kFsCommand;
}

bool session_nt::handle_(packet& p) {
  switch (p.type) {
    case kControl:
      return control_(p);
    case kCommand:
      return command_(p);
    case kParameters:
      return parameter_block_(p);
    case kFsCommand:
      return fs_command_(p);
    default:
      log_("unexpected packet of type " + hex_byte(p.type) + "; answering NAK");
      return send_reply_(static_cast<std::uint8_t>(p.type | 0x80), 0, {NAK});
  }
}

bool session_nt::control_(const packet& p) {
  const std::vector<std::uint8_t> setup = {0x00, 0x02};
  const std::vector<std::uint8_t> notice_query = {0x00, 0x00};
  // The setup request announces the peer and has no answer.
  if (p.payload == setup) return true;
  if (p.payload == notice_query) {
    const std::uint8_t reports = options_.no_notice_report ? 0 : 1;
    return channel_.send(kControlReply, 0, {0x00, reports});
  }
  log_("unknown control request " + hex_bytes(p.payload.data(), p.payload.size()) +
       "; answering 00 00");
  return channel_.send(kControlReply, 0, {0x00, 0x00});
}

bool session_nt::command_(const packet& p) {
  const std::vector<std::uint8_t>& bytes = p.payload;
  if (bytes.empty()) {
    log_("empty command packet; answering NAK");
    return send_reply_(kCommandReply, 0, {NAK});
  }
  // A cancel that arrives after the scan has ended, or without one, has
  // nothing left to stop.
  if (bytes.size() == 1 && bytes[0] == CAN) return send_reply_(kCommandReply, 0, {ACK});
  const std::uint8_t prefix = bytes[0];
  const std::uint8_t letter = bytes.size() > 1 ? bytes[1] : 0;
  if (bytes.size() > 2) {
    const bool accepted = scanner_.apply(prefix, letter, bytes.data() + 2, bytes.size() - 2);
    return send_reply_(kCommandReply, 0, {accepted ? ACK : NAK});
  }
  switch (letter) {
    case 'I':
      return send_reply_(kCommandReply, 0, scanner_.identity());
    case 'f':
      return send_reply_(kCommandReply, 0, scanner_.extended_status());
    case 'q':
      return send_reply_(kCommandReply, 0, scanner_.counters());
    case 'F':
      return send_reply_(kCommandReply, 0, scanner_.status());
    case '@':
      scanner_.reset();
      return send_reply_(kCommandReply, 0, {ACK});
    case 'G':
      log_(command_name(prefix, letter) + " in a packet of type 1; scans start with type 8");
      return send_reply_(kCommandReply, 0, {NAK});
    default:
      return send_reply_(kCommandReply, 0, {ACK});
  }
}

bool session_nt::parameter_block_(const packet& p) {
  if (p.payload.size() != PARAMETER_BLOCK_SIZE) {
    log_("parameter block of " + std::to_string(p.payload.size()) + " bytes, expected " +
         std::to_string(PARAMETER_BLOCK_SIZE) + "; refusing every setting");
    return send_reply_(kParametersReply, 0, std::vector<std::uint8_t>(FLAG_BYTES, 0xFF));
  }
  const decoded_block decoded = decode_parameter_block(p.payload.data());
  // Flags that name nothing are refused, so the peer learns of its mistake.
  flag_bitmap status = decoded.unknown;
  if (status != flag_bitmap{}) {
    log_("parameter block flags unknown settings " + hex_bytes(status.data(), status.size()));
  } else if (decoded.parameters.empty()) {
    log_("parameter block flags no setting");
  }
  for (const block_parameter& parameter : decoded.parameters) {
    if (!scanner_.apply(ESC, parameter.letter, parameter.value.data(), parameter.value.size())) {
      status[parameter.flag_byte] |= static_cast<std::uint8_t>(1u << parameter.flag_bit);
    }
  }
  return send_reply_(kParametersReply, 0, std::vector<std::uint8_t>(status.begin(), status.end()));
}

bool session_nt::fs_command_(const packet& p) {
  const std::vector<std::uint8_t>& bytes = p.payload;
  if (bytes.empty()) {
    log_("empty FS command packet; answering NAK");
    return send_reply_(kFsCommandReply, 0, {NAK});
  }
  // Scans come here whatever their prefix.
  if (bytes.size() == 2 && bytes[1] == 'G') return scan_();
  const std::uint8_t prefix = bytes[0];
  const std::uint8_t letter = bytes.size() > 1 ? bytes[1] : 0;
  if (bytes.size() > 2) {
    const bool accepted = scanner_.apply(prefix, letter, bytes.data() + 2, bytes.size() - 2);
    return send_reply_(kFsCommandReply, 0, {accepted ? ACK : NAK});
  }
  if (prefix != FS) {
    log_(command_name(prefix, letter) + " in a packet of type 8; answering NAK");
    return send_reply_(kFsCommandReply, 0, {NAK});
  }
  switch (letter) {
    case 'F':
      return send_reply_(kFsCommandReply, 0, scanner_.fs_status());
    case 'I':
      return send_reply_(kFsCommandReply, 0, scanner_.device_info());
    case 'S':
      return send_reply_(kFsCommandReply, 0, scanner_.scan_parameters());
    case 'X':
    case 'Y':
    case 'Z':
      // This variant has no extended mode unless asked to pretend.
      return send_reply_(kFsCommandReply, 0, {options_.nt_extended ? ACK : NAK});
    default:
      return send_reply_(kFsCommandReply, 0, {ACK});
  }
}

bool session_nt::scan_() {
  const std::optional<scan_layout> layout = scanner_.plan();
  const auto info = info_block(layout);
  if (!send_reply_(kScanReply, 0, std::vector<std::uint8_t>(info.begin(), info.end()))) {
    return false;
  }
  if (!layout) return true;
  packet interruption;
  switch (stream_(kScanReply, *layout, interruption)) {
    case stream_end::COMPLETED:
      scanner_.count_scan();
      return true;
    case stream_end::CLOSED:
      return false;
    case stream_end::INTERRUPTED:
      break;
  }
  const bool cancel = interruption.type == kCommand && interruption.payload.size() == 1 &&
                      interruption.payload[0] == CAN;
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

}  // namespace scanbridge::tools::scanemu
