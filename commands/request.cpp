// SPDX-License-Identifier: MIT
#include "commands/request.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "wire/codes.h"

namespace scanbridge {

namespace {

constexpr std::size_t CODE_SIZE = 4;
constexpr std::size_t SIZE_SPEC_OFFSET = 4;
constexpr std::size_t SIZE_DIGITS = 7;

// Codes and text fields of reply headers that the bridge reads or writes.
constexpr char IMAGE_CODE[] = "IMG ";
constexpr char FINISH_CODE[] = "FIN ";
constexpr char BUSY_FIELD[] = "#nrdBUSY";
constexpr char CANCEL_FIELD[] = "#atnCAN ";
constexpr char EMPTY_FIELD[] = "#---";
constexpr std::size_t FIELD_SIZE = 8;
constexpr std::size_t SHORT_FIELD_SIZE = 4;
// The text fields of a reply header start behind the code and the size.
constexpr std::size_t FIELDS_OFFSET = 12;

bool bytes_equal(const std::uint8_t* p, const char* text, std::size_t n) {
  return std::memcmp(p, text, n) == 0;
}

// Offset of the first occurrence of text (n bytes) in header, or size when
// there is none.
std::size_t find_text(const std::uint8_t* header, std::size_t size, const char* text,
                      std::size_t n) {
  if (size < n) return size;
  for (std::size_t at = 0; at + n <= size; ++at) {
    if (bytes_equal(header + at, text, n)) return at;
  }
  return size;
}

}  // namespace

request::request(const std::uint8_t* bytes, std::size_t size)
    : command_is(0, ESC, 0), pending_size_(size) {
  if (size != REQUEST_SIZE) throw std::logic_error("bad request size");
  payload_size_ = parse_size(bytes);
  pending_ = new_bytes(REQUEST_SIZE);
  std::memcpy(pending_.get(), bytes, REQUEST_SIZE);
}

request::~request() = default;

const char* request::read_size(const std::uint8_t* header, std::size_t* size) {
  if (header[SIZE_SPEC_OFFSET] != 'x') return "bad size spec";
  std::size_t value = 0;
  for (std::size_t i = 1; i <= SIZE_DIGITS; ++i) {
    const std::uint8_t c = header[SIZE_SPEC_OFFSET + i];
    value *= 16;
    if (c >= '0' && c <= '9') {
      value += c - '0';
    } else if (c >= 'A' && c <= 'F') {
      value += c - 'A' + 10;
    } else {
      return "bad size digit";  // lower-case digits included
    }
  }
  *size = value;
  return nullptr;
}

std::size_t request::parse_size(const std::uint8_t* header) {
  std::size_t size = 0;
  if (const char* fault = read_size(header, &size)) throw std::logic_error(fault);
  return size;
}

void request::mark_cancelled(std::uint8_t* header, std::size_t size) {
  if (find_text(header, size, CANCEL_FIELD, FIELD_SIZE) != size) return;
  if (size < CODE_SIZE || !bytes_equal(header, IMAGE_CODE, CODE_SIZE)) return;
  const std::size_t at = find_text(header, size, EMPTY_FIELD, SHORT_FIELD_SIZE);
  if (at == size || size < FIELD_SIZE || at > size - FIELD_SIZE) return;
  std::memcpy(header + at, CANCEL_FIELD, FIELD_SIZE);
  // The empty field moves on behind the cancel mark, where there is room.
  if (at + FIELD_SIZE + SHORT_FIELD_SIZE <= size) {
    std::memcpy(header + at + FIELD_SIZE, EMPTY_FIELD, SHORT_FIELD_SIZE);
  }
}

enum command::state request::end_state_() const {
  if (!bytes_equal(pending_.get(), FINISH_CODE, CODE_SIZE)) return state::FINISHED;
  // A busy scanner keeps the client in extended mode. Fields lie on 4-byte
  // steps from offset 12; only those starting below pending_size_ - 8 count.
  for (std::size_t at = FIELDS_OFFSET; at + FIELD_SIZE < pending_size_; at += 4) {
    if (bytes_equal(pending_.get() + at, BUSY_FIELD, FIELD_SIZE)) return state::FINISHED;
  }
  return state::LEAVE_EXTENDED;
}

action request::start() {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::INITIAL) return ACTION_FAIL;
  // Without payload the scanner can answer with the reply header at once; with
  // one it answers only after the payload, so this packet asks for nothing.
  reply_size_ = payload_size_ == 0 ? REPLY_HEADER_SIZE : 0;
  push_chunk(std::move(pending_), REQUEST_SIZE);
  pending_size_ = 0;
  state_ = payload_size_ == 0 ? state::WAIT_SCANNER : state::WAIT_CLIENT;
  return send_type_;
}

action request::cancel() {
  cancelled_ = true;
  return ACTION_IGNORED;
}

action request::client_data(const std::uint8_t* bytes, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_CLIENT) return ACTION_FAIL;
  // The payload is exactly what the request announced: the client's bytes cut
  // or padded with zeros. It is built straight behind its chunk header, so the
  // client's bytes are copied once however large the payload is (push_chunk
  // would copy them a second time).
  reply_size_ = REPLY_HEADER_SIZE;
  const std::size_t taken = std::min(size, payload_size_);
  byte_array framed = new_bytes(IS_HEADER_SIZE + payload_size_);
  put_is_header(framed.get(), payload_size_, reply_size_);
  std::uint8_t* payload = framed.get() + IS_HEADER_SIZE;
  if (taken != 0) std::memcpy(payload, bytes, taken);
  std::memset(payload + taken, 0, payload_size_ - taken);
  push(std::move(framed), static_cast<std::int64_t>(IS_HEADER_SIZE + payload_size_));
  payload_size_ = 0;
  state_ = state::WAIT_SCANNER;
  return send_type_;
}

action request::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER || type != reply_type_) return ACTION_FAIL;

  if (payload_size_ != 0) {
    // The payload that the pending reply header announced: both go to the
    // client as they are, the payload's array moved, not copied.
    const enum state end = end_state_();
    push(std::move(pending_), static_cast<std::int64_t>(pending_size_));
    pending_size_ = 0;
    push(std::move(payload), static_cast<std::int64_t>(size));
    state_ = end;
    return ACTION_ACCEPTED;
  }

  if (size != REPLY_HEADER_SIZE) return ACTION_FAIL;
  std::size_t announced = 0;
  if (read_size(payload.get(), &announced) != nullptr) return ACTION_FAIL;
  payload_size_ = announced;
  reply_size_ = announced;
  pending_ = std::move(payload);
  pending_size_ = REPLY_HEADER_SIZE;
  // The size field has been read already: the rewrite leaves bytes 4-11 alone
  // and the payload request below uses that size.
  if (cancelled_) mark_cancelled(pending_.get(), pending_size_);

  if (announced != 0) {
    // A header alone: asks the scanner for the payload.
    push_chunk(nullptr, 0);
    return send_type_;
  }
  const enum state end = end_state_();
  push(std::move(pending_), static_cast<std::int64_t>(pending_size_));
  pending_size_ = 0;
  state_ = end;
  return ACTION_ACCEPTED;
}

}  // namespace scanbridge
