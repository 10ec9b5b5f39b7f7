// SPDX-License-Identifier: MIT
#include "tools/scanclient/trace.h"

#include <cstdio>

#include "tools/scanclient/scan_protocol.h"

namespace scanbridge::tools {

namespace {

std::string prefix_name(std::uint8_t prefix) {
  switch (prefix) {
    case FF:
      return "FF";
    case EM:
      return "EM";
    case ESC:
      return "ESC";
    case FS:
      return "FS";
    default:
      return std::string();
  }
}

// What the letters the client knows about do.
const char* command_meaning(std::uint8_t prefix, std::uint8_t letter) {
  if (prefix == FS) {
    switch (letter) {
      case 'G':
        return "start scan";
      case 'S':
        return "scanner status";
      case 'I':
        return "scanner information";
      case 'X':
      case 'Y':
      case 'Z':
        return "enter extended mode";
      default:
        return nullptr;
    }
  }
  switch (letter) {
    case 'I':
      return "identity";
    case 'F':
      return "status";
    case 'C':
      return "colour mode";
    case 'D':
      return "bit depth";
    case 'R':
      return "resolution";
    case 'A':
      return "scan area";
    case 'G':
      return "start scan";
    case '!':
      return "notice query";
    default:
      return nullptr;
  }
}

std::string letter_text(std::uint8_t letter) {
  if (printable(letter) && letter != ' ') return std::string(1, static_cast<char>(letter));
  return hex_byte(letter);
}

std::string single_byte_name(std::uint8_t byte) {
  switch (byte) {
    case ACK:
      return "ACK";
    case NAK:
      return "NAK";
    case CAN:
      return "CAN";
    default:
      return std::string();
  }
}

std::string with_label(const reply_hint& hint, std::string_view fallback, std::string detail) {
  const std::string head = hint.label.empty() ? std::string(fallback) : hint.label;
  if (head.empty()) return detail;
  if (detail.empty()) return head;
  return head + ": " + detail;
}

std::string answer_text(std::span<const std::uint8_t> payload) {
  if (payload.size() == 1) {
    if (payload[0] == ACK) return "ACK";
    if (payload[0] == NAK) return "NAK";
  }
  return "unexpected answer (" + std::to_string(payload.size()) + " bytes)";
}

std::string info_text(const info_block& info) {
  std::string out = "status=" + hex_byte(info.status);
  out += " block_size=" + std::to_string(info.block_size);
  out += " count=" + std::to_string(info.block_count);
  out += " last=" + std::to_string(info.last_block_size);
  if (info.refused()) {
    out += " (scan refused)";
  } else {
    out += " (" + std::to_string(info.total_bytes()) + " image bytes)";
  }
  return out;
}

}  // namespace

std::string abbreviated_hex(std::span<const std::uint8_t> bytes, std::size_t limit) {
  if (bytes.size() <= limit || bytes.size() <= 24) return hex_bytes(bytes);
  return hex_bytes(bytes.first(16)) + " ... " + hex_bytes(bytes.last(8)) + " (" +
         std::to_string(bytes.size()) + " bytes)";
}

std::string quoted_text(std::span<const std::uint8_t> bytes, std::size_t limit) {
  std::string out = "\"";
  const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
  for (std::size_t i = 0; i < shown; ++i) {
    const std::uint8_t byte = bytes[i];
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
    } else if (printable(byte)) {
      out.push_back(static_cast<char>(byte));
    } else {
      out += "\\x" + hex_bytes({&byte, 1});
    }
  }
  out.push_back('"');
  if (shown < bytes.size()) out += "...";
  return out;
}

bool looks_like_text(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return false;
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0) --end;  // NUL padding at the end
  if (end == 0) return false;
  for (std::size_t i = 0; i < end; ++i) {
    const std::uint8_t byte = bytes[i];
    if (!printable(byte) && byte != '\t' && byte != '\r' && byte != '\n') return false;
  }
  return true;
}

std::string describe_command(std::span<const std::uint8_t> bytes) {
  if (bytes.size() == 1) {
    if (bytes[0] == CAN) return "CAN (cancel)";
    const std::string name = single_byte_name(bytes[0]);
    if (!name.empty()) return name;
    return prefix_name(bytes[0]);
  }
  if (bytes.size() != 2) return std::string();
  const std::string prefix = prefix_name(bytes[0]);
  if (prefix.empty()) return std::string();
  std::string out = prefix + " " + letter_text(bytes[1]);
  if (const char* meaning = command_meaning(bytes[0], bytes[1])) {
    out += " (";
    out += meaning;
    out += ")";
  }
  return out;
}

std::string describe_reply(const link_header& header, std::span<const std::uint8_t> payload,
                           const reply_hint& hint) {
  if (header.id == 0 && header.status == -1 && payload.size() == 1 && payload[0] == NAK &&
      hint.kind != reply_kind::OPEN) {
    return "NAK from the bridge: no such device open";
  }
  std::string failed = header.status != 0 ? "exchange failed; " : "";

  switch (hint.kind) {
    case reply_kind::OPEN:
      if (header.status == 0 && header.id != 0)
        return "device opened, id=" + std::to_string(header.id);
      return "open failed";

    case reply_kind::ANSWER:
      return failed + with_label(hint, "", answer_text(payload));

    case reply_kind::VAR_HEAD: {
      var_head head;
      if (!parse_var_head(payload, &head)) {
        return failed + with_label(hint, "reply head", "not a reply head");
      }
      return failed + with_label(hint, "reply head",
                                 "STX status=" + hex_byte(head.status) +
                                     " length=" + std::to_string(head.length));
    }

    case reply_kind::VAR_DATA:
      if (looks_like_text(payload)) return failed + with_label(hint, "data", quoted_text(payload));
      return failed + with_label(hint, "data", std::to_string(payload.size()) + " bytes");

    case reply_kind::INFO_BLOCK: {
      info_block info;
      if (parse_info_block(payload, &info)) {
        return failed + with_label(hint, "info block", info_text(info));
      }
      if (payload.size() == 1 && payload[0] == NAK) {
        return failed + with_label(hint, "info block", "NAK (scan refused)");
      }
      return failed + with_label(hint, "info block", "not an info block");
    }

    case reply_kind::DATA_BLOCK: {
      if (payload.empty()) return failed + with_label(hint, "data block", "empty");
      const std::uint8_t status = payload.back();
      std::string detail =
          std::to_string(payload.size() - 1) + " image bytes, status " + hex_byte(status);
      return failed + with_label(hint, "data block", detail);
    }

    case reply_kind::ANY:
      break;
  }

  std::string detail;
  if (payload.size() == 1) detail = single_byte_name(payload[0]);
  if (detail.empty() && looks_like_text(payload)) detail = quoted_text(payload, 40);
  if (header.status != 0)
    return with_label(hint, "", "exchange failed" + (detail.empty() ? "" : "; " + detail));
  return with_label(hint, "", detail);
}

std::string format_sent(const link_header& header, std::span<const std::uint8_t> payload,
                        std::string_view note) {
  std::string line = "-> " + kind_name(header.kind) + " id=" + std::to_string(header.id) +
                     " len=" + std::to_string(payload.size());
  if (payload.empty()) {
    if (!note.empty()) line += "  " + std::string(note);
    return line;
  }
  if (header.kind == KIND_OPEN) {
    line += "  " + quoted_text(payload, 200);
  } else {
    line += "  " + abbreviated_hex(payload);
  }
  const std::string meaning =
      !note.empty() ? std::string(note)
                    : (header.kind == KIND_DATA ? describe_command(payload) : std::string());
  if (!meaning.empty()) line += "  " + meaning;
  return line;
}

std::string format_received(const link_header& header, std::span<const std::uint8_t> payload,
                            const reply_hint& hint) {
  std::string line = "<- reply id=" + std::to_string(header.id);
  if (header.kind != 0) line += " kind=" + std::to_string(header.kind);
  line += " status=" + std::to_string(header.status) + " len=" + std::to_string(header.length);
  if (!payload.empty()) line += "  " + abbreviated_hex(payload);
  const std::string meaning = describe_reply(header, payload, hint);
  if (!meaning.empty()) line += "  " + meaning;
  return line;
}

}  // namespace scanbridge::tools
