// SPDX-License-Identifier: MIT
#include "session/scanner.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "net/wake.h"
#include "session/check.h"
#include "wire/codes.h"

namespace scanbridge {

namespace {

// The longest notice the poll takes at the start of a DATA message; a longer
// one is left for the exchange. Notices carry one event byte.
constexpr std::size_t NOTICE_POLL_LIMIT = 244;
// The bytes the poll may still take, before it has looked how many wait.
constexpr std::size_t UNCOUNTED = SIZE_MAX;

bool is_packet_type(action a) { return a <= 127; }

bool is_command_prefix(std::uint8_t b) { return b == FF || b == EM || b == ESC || b == FS; }

// The factories take the command's bytes as signed 8-bit values widened to int.
int widen(std::uint8_t b) { return static_cast<std::int8_t>(b); }

bool is_final(enum command::state s) {
  return s == command::state::FINISHED || s == command::state::LEAVE_EXTENDED;
}

}  // namespace

scanner::scanner(const std::string& address, int default_port, const session_timing& timing)
    : host_(address), port_(default_port), timing_(timing) {
  if (!address.empty() && address[0] == '[') {
    take_bracketed_(address);
    return;
  }
  const std::size_t colon = address.find(':');
  if (colon == std::string::npos) return;
  host_ = address.substr(0, colon);
  take_port_(address.c_str() + colon + 1);
}

void scanner::take_bracketed_(const std::string& address) {
  // "[" IPv6 address (with an optional "%zone") "]", then nothing or ":" and
  // the port. Anything else (no ']', no ':' inside, so no IPv6 address,
  // something other than ':' after) leaves the whole address as the host
  // name, which fails to resolve as any bad name does.
  const std::size_t close = address.find(']');
  if (close == std::string::npos || address.find(':') > close) return;
  const char* rest = address.c_str() + close + 1;
  if (*rest != '\0' && *rest != ':') return;
  host_ = address.substr(1, close - 1);
  if (*rest == ':') take_port_(rest + 1);
}

void scanner::take_port_(const char* text) {
  // The number ends at the first character that is not part of it; an empty
  // or non-numeric text gives 0. A port outside 1-65535 (0 included) names
  // no scanner: connect() then fails at once, rather than reaching whatever
  // listens on the number cut to 16 bits.
  const long port = std::strtol(text, nullptr, 10);
  port_ = port >= 1 && port <= 65535 ? static_cast<int>(port) : 0;
}

scanner::~scanner() { disconnect(false); }

bool scanner::connect(int tries, std::chrono::milliseconds timeout) {
  if (link_) return true;
  protocol_.reset();
  if (tries <= 0 || port_ == 0) return false;
  // In microseconds, truncated: 100,000 for 10 tries, 333,333 for 3.
  const auto max_delay = static_cast<int>(timing_.max_backoff.count() * 1000);
  const auto step = static_cast<int>(static_cast<double>(max_delay) / tries);
  int delay = 0;
  for (int attempt = 0; attempt < tries; ++attempt) {
    // The endpoint makes its TCP connection on the first read, which is the
    // greeting peek of detect_protocol().
    link_ = std::make_unique<endpoint>(host_, port_, timeout);
    protocol_ = detect_protocol(link_.get());
    if (protocol_) {
      timeout_ = timeout;
      return true;
    }
    link_.reset();
    delay = std::min(delay + step, max_delay);
    if (!sleep_unless_woken(delay / 1000)) return false;
  }
  return false;
}

void scanner::disconnect(bool by_scanner) {
  extended_mode_ = false;
  _cmd.reset();
  if (protocol_ && !by_scanner) {
    // The scanner still hears the close request it may rely on, but its
    // answer, read only to be dropped, is not worth a long wait: the whole
    // bridge waits meanwhile, and so may a driver that wants to come back.
    link_->set_deadline(timing_.closing);
    protocol_->close();
  }
  // The protocol borrows the endpoint, so it goes after it and never uses it
  // on the way out.
  link_.reset();
  protocol_.reset();
}

chunk_queue* scanner::replies() { return _cmd ? _cmd.get() : &replies_; }

bool scanner::poll_notice_(std::size_t* budget) {
  // Only a notice that has arrived whole is taken, so the poll never waits:
  // a scanner that sent a header and stalled would hold the whole bridge.
  // Anything else (another packet, part of a header or of a notice) is left
  // first in line for the exchange, which reads notices the same way.
  std::uint8_t waiting[PACKET_HEADER_SIZE + NOTICE_POLL_LIMIT];
  if (link_->peek_waiting(waiting, PACKET_HEADER_SIZE) != PACKET_HEADER_SIZE) return false;
  packet notice = protocol_->new_packet();
  if (!notice.parse_header(waiting) || !is_notice_(notice.type())) return false;
  const std::size_t whole = PACKET_HEADER_SIZE + notice.length();
  if (notice.length() > NOTICE_POLL_LIMIT ||
      link_->peek_waiting(waiting, whole) != static_cast<std::int64_t>(whole)) {
    return false;
  }
  // Counted once a notice is found, so that a DATA message without notices
  // pays nothing for it.
  if (*budget == UNCOUNTED) *budget = link_->waiting();
  if (whole > *budget) return false;
  *budget -= whole;
  if (!notice.receive()) return false;
  byte_array payload;
  if (notice.payload(&payload) >= 1) handle_event_(payload[0]);
  return true;
}

action scanner::handle_event_(std::uint8_t code) {
  if (protocol_->is_notice_event(code)) {
    notice_flag_ = 1;
    return ACTION_IGNORED;
  }
  if (protocol_->is_cancel_event(code)) {
    if (_cmd) _cmd->cancel();
    return ACTION_IGNORED;
  }
  if (protocol_->is_disconnect_event(code)) {
    disconnect(true);
    return ACTION_FAIL;
  }
  return ACTION_IGNORED;
}

action scanner::handle_notice_payload_(const std::uint8_t* payload, std::size_t size) {
  if (payload == nullptr || size == 0) return ACTION_FAIL;
  return handle_event_(payload[0]);
}

void scanner::answer_notice_query_() {
  static constexpr std::uint8_t kHead[] = {0x02, 0x00, 0x01, 0x00};
  byte_array head = new_bytes(sizeof kHead);
  std::copy(std::begin(kHead), std::end(kHead), head.get());
  replies_.push(std::move(head), sizeof kHead);
  byte_array flag = new_bytes(1);
  flag[0] = notice_flag_;
  replies_.push(std::move(flag), 1);
  notice_flag_ = 0;
}

int scanner::exchange(const std::uint8_t* bytes, std::size_t size) {
  notice_flag_ = 0;
  // Take the notices already waiting, so that a notice query answered below
  // reports what they set; but only those that had arrived when the poll
  // began: a scanner that never stops sending notices must not hold the
  // bridge here. Later ones are met by the exchange, which reads notices
  // anyway.
  std::size_t budget = UNCOUNTED;
  while (!extended_mode_ && link_ && poll_notice_(&budget)) {
  }
  if (!connect(timing_.tries, timing_.timeout)) return -1;
  return extended_mode_ ? request_handshake_(bytes, size) : command_handshake_(bytes, size);
}

bool scanner::send_chunk_(std::uint8_t type, std::uint8_t flag) {
  SB_CHECK(_cmd && !_cmd->empty());
  const chunk c = _cmd->pop();
  packet out = protocol_->new_packet();
  out.set_type(type);
  out.set_flag(flag);
  out.set_payload(c.bytes.get(), static_cast<std::uint32_t>(c.length));
  // A scanner that cannot take the packet (it reset, or stopped reading
  // for a whole time-out) cannot answer it either: waiting for its reply
  // would only cost a second time-out.
  if (out.send()) return true;
  disconnect(false);
  return false;
}

bool scanner::read_packet_(std::uint8_t* type, byte_array* payload, std::uint32_t* length) {
  packet in = protocol_->new_packet();
  if (!in.receive()) {
    disconnect(false);
    return false;
  }
  *type = in.type();
  *length = in.payload(payload);
  return true;
}

int scanner::command_handshake_(const std::uint8_t* bytes, std::size_t size) {
  action act;
  if (_cmd && !is_final(_cmd->state())) {
    // The bytes continue the current command.
    act = _cmd->client_data(bytes, size);
    if (act == ACTION_SEND_TRANSFER_CANCEL) {
      if (!send_chunk_(packet_type::TRANSFER, 1)) return -1;
      act = ACTION_IGNORED;
    }
  } else {
    if (size == 0 || size > 2 || !is_command_prefix(bytes[0])) return -1;
    const std::uint8_t prefix = bytes[0];
    const std::uint8_t letter = size == 2 ? bytes[1] : 0;
    _cmd.reset();
    _cmd = protocol_->new_command(widen(letter), widen(prefix));
    extended_mode_ = prefix == FS && (letter == 'X' || letter == 'Y' || letter == 'Z');
    if (!_cmd) {
      // Only the NT variant lacks translators, for the letter '!'. ESC '!' is
      // the notice query, which the session answers itself; FF '!' and EM '!'
      // have no meaning and fail without troubling the scanner.
      if (prefix != ESC || letter != '!' || !protocol_->can_report_notice()) return -1;
      answer_notice_query_();
      return 0;
    }
    if (prefix == FS && letter == 'G') {
      link_->set_timeout(timing_.scan_timeout);
    } else if (prefix == FF && letter == 0) {
      link_->set_timeout(std::chrono::milliseconds(0));
    } else if (link_->timeout() != timeout_) {
      link_->set_timeout(timeout_);
    }
    act = _cmd->start();
  }

  for (;;) {
    if (!_cmd || _cmd->state() != command::state::WAIT_SCANNER) return 0;
    if (is_packet_type(act) && !send_chunk_(static_cast<std::uint8_t>(act), 0)) return -1;
    std::uint8_t type;
    byte_array payload;
    std::uint32_t length;
    if (!read_packet_(&type, &payload, &length)) return -1;
    if (is_notice_(type)) {
      act = handle_notice_payload_(payload.get(), length);
    } else {
      // Extended mode survives only a reply of exactly one ACK.
      const bool single_ack = length == 1 && payload[0] == ACK;
      act = _cmd->scanner_reply(type, std::move(payload), length);
      if (act == ACTION_SEND_TRANSFER) {
        if (!send_chunk_(packet_type::TRANSFER, 0)) return -1;
        act = ACTION_ACCEPTED;
      }
      if (!single_ack) extended_mode_ = false;
    }
    if (act == ACTION_FAIL) {
      extended_mode_ = false;
      return -1;
    }
  }
}

int scanner::request_handshake_(const std::uint8_t* bytes, std::size_t size) {
  SB_CHECK(extended_mode_ && _cmd);
  action act = ACTION_IGNORED;
  if (_cmd->state() == command::state::WAIT_CLIENT) {
    // The data block the current request asked for.
    act = _cmd->client_data(bytes, size);
    SB_CHECK(act == packet_type::IS_ESC_THRU);
    SB_CHECK(_cmd->state() == command::state::WAIT_SCANNER);
    SB_CHECK(_cmd->size() == 1);
  } else if (_cmd->state() == command::state::FINISHED) {
    _cmd.reset();
    _cmd = protocol_->new_request(bytes, size);
    if (!_cmd) {
      // An NT scanner took the switch into extended mode, but the variant has
      // no extended requests: fail without scanner traffic and go back to
      // legacy commands.
      extended_mode_ = false;
      return -1;
    }
    act = _cmd->start();
    SB_CHECK(act == packet_type::IS_ESC_THRU);
    SB_CHECK(_cmd->state() == command::state::WAIT_SCANNER ||
             _cmd->state() == command::state::WAIT_CLIENT);
    SB_CHECK(_cmd->size() == 1);
  }

  if (_cmd->state() == command::state::WAIT_CLIENT) {
    // Send the request and wait for the scanner's go-ahead for its data block.
    if (is_packet_type(act) && !send_chunk_(static_cast<std::uint8_t>(act), 0)) return -1;
    for (;;) {
      std::uint8_t type;
      byte_array payload;
      std::uint32_t length;
      if (!read_packet_(&type, &payload, &length)) return -1;
      if (is_notice_(type)) {
        if (handle_notice_payload_(payload.get(), length) == ACTION_FAIL) return -1;
      } else if (type == packet_type::IS_REPLY) {
        return 0;
      }
      // Anything else is dropped; each wait is bounded by the connection's
      // time-out, so a scanner that never sends the go-ahead fails the read.
    }
  }

  for (;;) {
    if (!_cmd) return -1;
    if (_cmd->state() != command::state::WAIT_SCANNER) {
      if (_cmd->state() == command::state::LEAVE_EXTENDED) extended_mode_ = false;
      return 0;
    }
    if (is_packet_type(act) && !send_chunk_(static_cast<std::uint8_t>(act), 0)) return -1;
    std::uint8_t type;
    byte_array payload;
    std::uint32_t length;
    if (!read_packet_(&type, &payload, &length)) return -1;
    act = is_notice_(type) ? handle_notice_payload_(payload.get(), length)
                           : _cmd->scanner_reply(type, std::move(payload), length);
    if (act == ACTION_FAIL) return -1;
  }
}

}  // namespace scanbridge
