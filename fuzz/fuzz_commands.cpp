// SPDX-License-Identifier: MIT
// Fuzz target for the command translators, without sockets: random sequences
// of start, client data, scanner replies and cancel on every translator the
// two factories make, random extended requests and random reply headers.
//
// Input: a sequence of jobs, each starting with a selector byte.
//   selector % 6 == 0 or 1: a translator from the NT (0) or IS (1) factory.
//       prefix byte: below 0x80 it picks FF, EM, ESC or FS by its low two
//       bits; otherwise the next byte is the prefix, whatever it is.
//       letter byte, then an operation count byte, then the operations.
//   selector % 6 == 2: an extended request built from raw bytes: a count
//       byte (0 to 15) and that many bytes, then operations as above.
//   selector % 6 == 3: an extended request built from a well-formed header
//       (see make_request_header), then operations.
//   selector % 6 == 4: request::parse_size on 12 raw bytes.
//   selector % 6 == 5: request::mark_cancelled on a raw header of 0 to 80
//       bytes.
// Operations: see run_operation.
//
// The harness plays the exchange driver and the dispatcher around the
// translator: the front chunk goes "to the scanner" (is popped) when an
// operation returns a packet type, ACTION_SEND_TRANSFER or
// ACTION_SEND_TRANSFER_CANCEL while the translator waits for the scanner (or,
// for a request, for the client's data block), and every chunk goes "to the
// client" whenever the translator stops waiting for the scanner or an
// operation fails, as the dispatcher drains the queue after each exchange.
//
// Checked after every operation:
// - the action is a packet type (0 to 127) or one of 256 to 260;
// - the state moved as the translator's class allows (see allowed);
// - every queued chunk has a length of 0 or more and an array at least that
//   long;
// - an action that sends comes with the chunk it sends: the operation queued
//   at least one chunk, and for the IS translators the first chunk it queued
//   carries an 8-byte prefix whose first word is the chunk's length less 8;
//   an NT parameter block has its 1176 bytes and exactly one flag bit;
// - the only exception is the std::logic_error of a malformed request, from
//   the request's constructor or from parse_size.
// Leaks are found by libFuzzer's leak check at the end of every input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "commands/command.h"
#include "commands/command_param.h"
#include "commands/command_scan.h"
#include "commands/command_var.h"
#include "commands/factory.h"
#include "commands/request.h"
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "wire/codes.h"

namespace scanbridge::fuzz {

namespace {

using state = enum command::state;

// The translator classes, most derived first.
enum class kind { plain, plain_is, param, param_is, buf, var, var_is, scan, scan_is, request };

kind kind_of(const command& c) {
  if (dynamic_cast<const request*>(&c) != nullptr) return kind::request;
  if (dynamic_cast<const command_scan_is*>(&c) != nullptr) return kind::scan_is;
  if (dynamic_cast<const command_scan*>(&c) != nullptr) return kind::scan;
  if (dynamic_cast<const command_buf*>(&c) != nullptr) return kind::buf;
  if (dynamic_cast<const command_param*>(&c) != nullptr) return kind::param;
  if (dynamic_cast<const command_param_is*>(&c) != nullptr) return kind::param_is;
  if (dynamic_cast<const command_var*>(&c) != nullptr) return kind::var;
  if (dynamic_cast<const command_var_is*>(&c) != nullptr) return kind::var_is;
  if (dynamic_cast<const command_is*>(&c) != nullptr) return kind::plain_is;
  return kind::plain;
}

bool frames_chunks(kind k) {
  return k == kind::plain_is || k == kind::param_is || k == kind::var_is || k == kind::scan_is ||
         k == kind::request;
}

enum class op { start, cancel, client_data, scanner_reply };

bool is_valid_action(action a) { return a <= 127 || (a >= ACTION_ACCEPTED && a <= ACTION_FAIL); }

bool is_send_action(action a) {
  return a <= 127 || a == ACTION_SEND_TRANSFER || a == ACTION_SEND_TRANSFER_CANCEL;
}

// One operation as the checks see it.
struct move {
  state from;
  state to;
  action act;
  // The translator's send_type before the operation.
  action send_type;
  // For scans: the action of a cancel.
  action cancel_type;
};

// The state machines of the translator classes. A translator that guards
// FINISHED answers every operation there with ACTION_IGNORED and stays; the
// base start (plain commands and scans) and the base scanner_reply (plain
// commands) do not look at the state. LEAVE_EXTENDED belongs to requests
// alone, which answer start, client data and replies there with ACTION_FAIL.
// cancel never changes the state.
bool allowed(kind k, op o, const move& m) {
  const bool same = m.to == m.from;
  const bool fail_same = same && m.act == ACTION_FAIL;
  if (o == op::cancel) return same && m.act == ACTION_IGNORED;
  if (m.to == state::LEAVE_EXTENDED && k != kind::request) return false;
  if (m.from == state::LEAVE_EXTENDED) return k == kind::request && fail_same;
  if (m.to == state::INITIAL && m.from != state::INITIAL) return false;

  const bool plain = k == kind::plain || k == kind::plain_is;
  const bool scan = k == kind::scan || k == kind::scan_is;
  const bool unguarded = (o == op::start && (plain || scan)) || (o == op::scanner_reply && plain);
  if (m.from == state::FINISHED && !unguarded) return same && m.act == ACTION_IGNORED;

  const bool sends = m.act == m.send_type;
  switch (k) {
    case kind::plain:
    case kind::plain_is:
      if (o == op::start) return m.to == state::WAIT_SCANNER && sends;
      if (o == op::client_data) return same && m.act == ACTION_IGNORED;
      return (m.to == state::FINISHED && m.act == ACTION_ACCEPTED) || fail_same;

    case kind::var:
    case kind::var_is:
      if (o == op::start) {
        return m.from == state::INITIAL ? m.to == state::WAIT_SCANNER && sends : fail_same;
      }
      if (o == op::client_data) return same && m.act == ACTION_IGNORED;
      if (m.from != state::WAIT_SCANNER) return fail_same;
      if (k == kind::var) return (m.to == state::FINISHED && m.act == ACTION_ACCEPTED) || fail_same;
      // The head asks for the data; a head of the wrong size ends the command.
      return (m.to == state::WAIT_SCANNER && sends) ||
             (m.to == state::FINISHED && (m.act == ACTION_ACCEPTED || m.act == ACTION_FAIL)) ||
             fail_same;

    case kind::param:
    case kind::buf:
      if (o == op::start) {
        return m.from == state::INITIAL ? m.to == state::WAIT_CLIENT && m.act == ACTION_ACCEPTED
                                        : fail_same;
      }
      if (o == op::client_data) {
        if (m.from != state::WAIT_CLIENT) return fail_same;
        // A parameter block of the wrong size is answered with ACK at once.
        return (m.to == state::WAIT_SCANNER && sends) ||
               (k == kind::buf && m.to == state::FINISHED && m.act == ACTION_ACCEPTED);
      }
      if (m.from != state::WAIT_SCANNER) return fail_same;
      return (m.to == state::FINISHED && m.act == ACTION_ACCEPTED) || fail_same;

    case kind::param_is:
      if (o == op::start) {
        return m.from == state::INITIAL ? m.to == state::WAIT_SCANNER && sends : fail_same;
      }
      if (o == op::client_data) {
        return m.from == state::WAIT_CLIENT ? m.to == state::WAIT_SCANNER && sends : fail_same;
      }
      if (m.from != state::WAIT_SCANNER) return fail_same;
      return ((m.to == state::WAIT_CLIENT || m.to == state::FINISHED) &&
              m.act == ACTION_ACCEPTED) ||
             fail_same;

    case kind::scan:
    case kind::scan_is:
      if (o == op::start) return m.to == state::WAIT_SCANNER && sends;
      if (o == op::client_data) {
        if (m.from != state::WAIT_CLIENT) return fail_same;
        // ACK, CAN, anything else; no array at all changes nothing.
        return (m.to == state::WAIT_SCANNER &&
                (m.act == ACTION_IGNORED || m.act == m.cancel_type)) ||
               (m.to == state::FINISHED && m.act == ACTION_FAIL) || fail_same;
      }
      if (m.from != state::WAIT_SCANNER) return fail_same;
      // Information block (NT: nothing to send; IS: the transfer request), a
      // block still in flight after a cancel, a data block, the last block
      // or the answer to the cancel, or a reply the scan cannot follow.
      return (m.to == state::WAIT_SCANNER &&
              (m.act == ACTION_ACCEPTED || m.act == ACTION_IGNORED ||
               (k == kind::scan_is && m.act == ACTION_SEND_TRANSFER))) ||
             (m.to == state::WAIT_CLIENT && m.act == ACTION_ACCEPTED) ||
             (m.to == state::FINISHED && (m.act == ACTION_ACCEPTED || m.act == ACTION_IGNORED)) ||
             fail_same;

    case kind::request:
      if (o == op::start) {
        return m.from == state::INITIAL
                   ? (m.to == state::WAIT_SCANNER || m.to == state::WAIT_CLIENT) && sends
                   : fail_same;
      }
      if (o == op::client_data) {
        return m.from == state::WAIT_CLIENT ? m.to == state::WAIT_SCANNER && sends : fail_same;
      }
      if (m.from != state::WAIT_SCANNER) return fail_same;
      return (m.to == state::WAIT_SCANNER && sends) ||
             ((m.to == state::FINISHED || m.to == state::LEAVE_EXTENDED) &&
              m.act == ACTION_ACCEPTED) ||
             fail_same;
  }
  return false;
}

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void check_chunk(const chunk& c) {
  FUZZ_CHECK(c.length >= 0);
  check_readable(c.bytes.get(), static_cast<std::size_t>(c.length));
}

// A copy of the bytes in an array of exactly their size, so that reading one
// byte too far is caught.
byte_array exact_copy(const bytes& b) {
  byte_array out = new_bytes(b.size());
  if (!b.empty()) std::memcpy(out.get(), b.data(), b.size());
  return out;
}

// Counts kept for the summary at exit.
struct totals {
  std::size_t translators = 0;
  std::size_t operations = 0;
  std::size_t sent = 0;
  std::size_t to_client = 0;
  std::size_t request_errors = 0;
  std::size_t leave_extended = 0;
};
totals counts;

void print_counts() {
  std::fprintf(stderr,
               "fuzz_commands: %zu translators, %zu operations, %zu chunks sent, %zu to the "
               "client, %zu request errors, %zu left extended mode\n",
               counts.translators, counts.operations, counts.sent, counts.to_client,
               counts.request_errors, counts.leave_extended);
}

// FUZZ_TRACE=1 in the environment prints every operation, for reading a
// crashing input.
bool tracing() {
  static const bool on = std::getenv("FUZZ_TRACE") != nullptr;
  return on;
}

// The translator under test and the harness's view of its queue.
class driven {
 public:
  explicit driven(std::unique_ptr<command> c) : cmd_(std::move(c)), kind_(kind_of(*cmd_)) {}
  ~driven() { drain(); }
  driven(const driven&) = delete;
  driven& operator=(const driven&) = delete;

  command& cmd() { return *cmd_; }
  kind what() const { return kind_; }

  // Runs one operation and checks everything it did.
  template <typename Operation>
  void run(op o, Operation&& operation) {
    const state from = cmd_->state();
    if (!driver_would_call_(o, from)) on_protocol_ = false;
    const std::size_t queued = cmd_->size();
    const action send_type = cmd_->send_type();
    const auto* scan = dynamic_cast<const command_scan*>(cmd_.get());
    const action cancel_type = scan != nullptr ? scan->cancel_type() : ACTION_FAIL;

    const action act = operation();
    ++counts.operations;
    ++operations_;

    FUZZ_CHECK(is_valid_action(act));
    const move m{from, cmd_->state(), act, send_type, cancel_type};
    if (tracing()) {
      std::fprintf(stderr, "  translator %d, operation %d: state %d -> %d, action %u, queue %zu -> %zu%s\n",
                   static_cast<int>(kind_), static_cast<int>(o), static_cast<int>(m.from),
                   static_cast<int>(m.to), static_cast<unsigned>(act), queued, cmd_->size(),
                   on_protocol_ ? "" : " (off the driver's protocol)");
    }
    if (!allowed(kind_, o, m)) {
      std::fprintf(stderr, "translator %d, operation %d: state %d -> %d, action %u\n",
                   static_cast<int>(kind_), static_cast<int>(o), static_cast<int>(m.from),
                   static_cast<int>(m.to), static_cast<unsigned>(act));
      FUZZ_FAIL("state change the translator does not allow");
    }
    if (m.to == state::LEAVE_EXTENDED && from != state::LEAVE_EXTENDED) ++counts.leave_extended;

    // Translators only ever add to their queue.
    FUZZ_CHECK(cmd_->size() >= queued);
    check_queue_(queued, act);

    const bool waits = m.to == state::WAIT_SCANNER ||
                       (kind_ == kind::request && m.to == state::WAIT_CLIENT);
    if (is_send_action(act) && waits) send_front_(queued);
    if (m.to != state::WAIT_SCANNER || act == ACTION_FAIL) drain();
  }

  // The dispatcher: every chunk goes to the client.
  void drain() {
    while (!cmd_->empty()) {
      const chunk c = cmd_->pop();
      check_chunk(c);
      ++counts.to_client;
    }
  }

 private:
  // Looks at every queued chunk (popping and queueing it again keeps the
  // order) and at the first one the operation added.
  void check_queue_(std::size_t queued_before, action act) {
    const std::size_t n = cmd_->size();
    for (std::size_t i = 0; i < n; ++i) {
      chunk c = cmd_->pop();
      check_chunk(c);
      if (i == queued_before && is_send_action(act)) check_outgoing_(c);
      cmd_->push(std::move(c));
    }
    if (is_send_action(act)) FUZZ_CHECK(n > queued_before);
  }

  // The chunk a sending operation made for the scanner.
  void check_outgoing_(const chunk& c) {
    if (frames_chunks(kind_)) {
      FUZZ_CHECK(c.length >= static_cast<std::int64_t>(IS_HEADER_SIZE));
      FUZZ_CHECK(be32(c.bytes.get()) == static_cast<std::uint64_t>(c.length) - IS_HEADER_SIZE);
    } else if (kind_ == kind::buf) {
      FUZZ_CHECK(c.length == static_cast<std::int64_t>(command_buf::BLOCK_SIZE));
      int flags = 0;
      for (std::size_t i = 0; i < command_buf::STATUS_SIZE; ++i) {
        flags += __builtin_popcount(c.bytes[i]);
      }
      FUZZ_CHECK(flags == 1);
    } else {
      FUZZ_CHECK(c.length >= 1);
    }
  }

  // Whether the exchange driver ever makes this call in this state: start
  // once, on the new translator; scanner replies while it waits for the
  // scanner; client data while it is not finished (and for a request only
  // while it waits for the client); cancel at any time.
  bool driver_would_call_(op o, state from) const {
    switch (o) {
      case op::start:
        return from == state::INITIAL && operations_ == 0;
      case op::scanner_reply:
        return from == state::WAIT_SCANNER;
      case op::client_data:
        if (kind_ == kind::request) return from == state::WAIT_CLIENT;
        return from == state::WAIT_SCANNER || from == state::WAIT_CLIENT;
      case op::cancel:
        return true;
    }
    return false;
  }

  // The driver: sends the front chunk as a packet.
  void send_front_(std::size_t queued_before) {
    FUZZ_CHECK(!cmd_->empty());
    const chunk c = cmd_->pop();
    ++counts.sent;
    // On the driver's protocol the front chunk is always one the operation
    // just queued: nothing for the scanner is ever left behind a reply. Off
    // it (start twice, say) any leftover chunk may come first.
    FUZZ_CHECK(queued_before == 0 || !on_protocol_);
  }

  std::unique_ptr<command> cmd_;
  kind kind_;
  // Every call so far is one the exchange driver makes.
  bool on_protocol_ = true;
  std::size_t operations_ = 0;
};

// A payload as a received packet carries it: an array of exactly its size,
// never null, also when empty.
byte_array reply_payload(const bytes& b) { return exact_copy(b); }

// A 12-byte request header with a well-formed size field, except when the
// flags ask for a fault.
bytes make_request_header(input& in) {
  bytes h(REQUEST_SIZE);
  const std::uint8_t flags = in.byte();
  const bytes code = in.take(4);
  for (std::size_t i = 0; i < 4; ++i) h[i] = i < code.size() ? code[i] : ' ';
  h[4] = (flags & 0x10) != 0 ? in.byte() : 'x';
  // Mostly small sizes; up to 1 MiB now and then.
  const std::uint32_t size = (flags & 0x20) != 0 ? in.u32() & 0xFFFFF : in.byte();
  char digits[8];
  std::snprintf(digits, sizeof digits, "%07X", size);
  std::memcpy(h.data() + 5, digits, 7);
  if ((flags & 0x40) != 0) h[5 + in.byte() % 7] = in.byte();
  return h;
}

// A 64-byte reply header: a code, the size field and text fields made of the
// pieces the request looks for, on the 4-byte steps where it looks.
bytes make_reply_header(input& in) {
  static constexpr const char* PIECES[] = {"#---", "#nrd", "BUSY", "#atn", "CAN ", "    "};
  bytes h(REPLY_HEADER_SIZE, ' ');
  const std::uint8_t flags = in.byte();
  switch (flags & 3) {
    case 0:
      std::memcpy(h.data(), "IMG ", 4);
      break;
    case 1:
      std::memcpy(h.data(), "FIN ", 4);
      break;
    default: {
      const bytes code = in.take(4);
      std::copy(code.begin(), code.end(), h.begin());
    }
  }
  h[4] = (flags & 0x04) != 0 ? in.byte() : 'x';
  const std::uint32_t size = (flags & 0x08) != 0 ? in.u16() : in.byte() % 32;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%07X", size);
  std::memcpy(h.data() + 5, digits, 7);
  if ((flags & 0x10) != 0) h[5 + in.byte() % 7] = in.byte();
  for (std::size_t at = 12; at + 4 <= REPLY_HEADER_SIZE; at += 4) {
    const std::uint8_t pick = in.byte();
    if (pick < 6 * 32) {
      std::memcpy(h.data() + at, PIECES[pick / 32], 4);
    } else {
      const bytes raw = in.take(4);
      std::copy(raw.begin(), raw.end(), h.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  return h;
}

// The scanner's information block for a scan: small sizes, so that data
// blocks of those sizes follow.
bytes make_info_block(input& in) {
  bytes b(INFO_BLOCK_SIZE);
  const std::uint8_t flags = in.byte();
  b[0] = (flags & 0x01) != 0 ? in.byte() : STX;
  static constexpr std::uint8_t STATUSES[] = {0x00, 0x20, 0x40, 0x80};
  b[1] = (flags & 0x02) != 0 ? in.byte() : STATUSES[flags >> 6];
  const std::uint32_t block = in.byte();
  const std::uint32_t count = (flags & 0x04) != 0 ? in.u32() : in.byte() % 5;
  const std::uint32_t last = (flags & 0x08) != 0 ? in.u32() : in.byte();
  put_le32(b.data() + 2, block);
  put_le32(b.data() + 6, count);
  put_le32(b.data() + 10, last);
  return b;
}

// The largest reply the harness makes up for a data block.
constexpr std::uint64_t MAX_BLOCK = 1 << 20;

// One operation on the translator.
//   0 start                         1 cancel
//   2 client data, raw              3 client data: one byte ACK, CAN or other
//   4 scanner reply, raw type       5 scanner reply of the expected type
//   6 information block             7 data block of an announced size
//   8 64-byte reply header          9 answer to a cancel
//  10 drain (an exchange ended)
void run_operation(driven& d, input& in) {
  command& c = d.cmd();
  const std::uint8_t code = in.byte();
  const std::uint8_t variant = code >> 4;
  switch (code % 11) {
    case 0:
      d.run(op::start, [&] { return c.start(); });
      break;
    case 1:
      d.run(op::cancel, [&] { return c.cancel(); });
      break;
    case 2: {
      const bytes data = in.take(in.length());
      const byte_array copy = exact_copy(data);
      // The dispatcher hands no array at all for an empty message.
      const std::uint8_t* p = data.empty() && (variant & 1) != 0 ? nullptr : copy.get();
      d.run(op::client_data, [&] { return c.client_data(p, data.size()); });
      break;
    }
    case 3: {
      static constexpr std::uint8_t BYTES[] = {ACK, CAN, NAK, STX};
      const bytes data{BYTES[variant & 3]};
      const byte_array copy = exact_copy(data);
      d.run(op::client_data, [&] { return c.client_data(copy.get(), 1); });
      break;
    }
    case 4: {
      const std::uint8_t type = in.byte();
      const bytes payload = in.take(in.length());
      d.run(op::scanner_reply,
            [&] { return c.scanner_reply(type, reply_payload(payload), payload.size()); });
      break;
    }
    case 5: {
      const bytes payload = in.take(in.length());
      d.run(op::scanner_reply, [&] {
        return c.scanner_reply(c.reply_type(), reply_payload(payload), payload.size());
      });
      break;
    }
    case 6: {
      const bytes payload = make_info_block(in);
      d.run(op::scanner_reply, [&] {
        return c.scanner_reply(c.reply_type(), reply_payload(payload), payload.size());
      });
      break;
    }
    case 7: {
      const auto* scan = dynamic_cast<const command_scan*>(&c);
      std::uint64_t size = in.byte() % 64;
      if (scan != nullptr) {
        size = std::uint64_t{(variant & 1) != 0 ? scan->last_block_size() : scan->block_size()} + 1;
      }
      if (size > MAX_BLOCK) break;
      bytes payload = in.take(static_cast<std::size_t>(size));
      payload.resize(static_cast<std::size_t>(size));
      static constexpr std::uint8_t STATUSES[] = {0x00, 0x00, 0x10, 0x30, 0x50, 0x80, 0x15, 0x01};
      if (!payload.empty()) payload.back() = STATUSES[(variant >> 1) & 7];
      d.run(op::scanner_reply, [&] {
        return c.scanner_reply(c.reply_type(), reply_payload(payload), payload.size());
      });
      break;
    }
    case 8: {
      const bytes payload = make_reply_header(in);
      d.run(op::scanner_reply, [&] {
        return c.scanner_reply(c.reply_type(), reply_payload(payload), payload.size());
      });
      break;
    }
    case 9: {
      const auto* scan = dynamic_cast<const command_scan*>(&c);
      const auto type =
          static_cast<std::uint8_t>(scan != nullptr ? scan->cancel_reply_type() : c.reply_type());
      static constexpr std::uint8_t ANSWERS[] = {ACK, NAK, CAN, 0x00};
      const bytes payload{ANSWERS[variant & 3]};
      d.run(op::scanner_reply,
            [&] { return c.scanner_reply(type, reply_payload(payload), payload.size()); });
      break;
    }
    default:
      d.drain();
      break;
  }
}

void run_operations(std::unique_ptr<command> c, input& in) {
  ++counts.translators;
  driven d(std::move(c));
  const std::uint8_t n = in.byte();
  for (std::uint8_t i = 0; i < n && !in.empty(); ++i) run_operation(d, in);
}

// The factories take the command's bytes as signed 8-bit values widened to
// int, as the session passes them.
int widen(std::uint8_t b) { return static_cast<std::int8_t>(b); }

void factory_job(input& in, bool is_variant) {
  static constexpr std::uint8_t PREFIXES[] = {FF, EM, ESC, FS};
  const std::uint8_t pick = in.byte();
  const std::uint8_t prefix = pick < 0x80 ? PREFIXES[pick & 3] : in.byte();
  const std::uint8_t letter = in.byte();
  std::unique_ptr<command> c = is_variant ? new_command_is(widen(letter), widen(prefix))
                                          : new_command_nt(widen(letter), widen(prefix));
  if (is_variant) {
    FUZZ_CHECK(c != nullptr);
  } else {
    // Only ! after a prefix other than FS has no NT translator.
    FUZZ_CHECK((c == nullptr) == (letter == '!' && prefix != FS));
  }
  if (c == nullptr) return;
  FUZZ_CHECK(c->state() == state::INITIAL && c->empty());
  // The prefix may differ: the ESC table's settings always carry ESC.
  FUZZ_CHECK(c->letter() == letter);
  run_operations(std::move(c), in);
}

void request_job(input& in, const bytes& header) {
  const byte_array copy = exact_copy(header);
  std::unique_ptr<command> c;
  try {
    c = std::make_unique<request>(copy.get(), header.size());
  } catch (const std::logic_error& e) {
    FUZZ_CHECK(is_request_error(e));
    ++counts.request_errors;
    return;
  }
  FUZZ_CHECK(header.size() == REQUEST_SIZE);
  run_operations(std::move(c), in);
}

void parse_size_job(input& in) {
  bytes header = in.take(REQUEST_SIZE);
  header.resize(REQUEST_SIZE);
  const byte_array copy = exact_copy(header);
  try {
    const std::size_t size = request::parse_size(copy.get());
    FUZZ_CHECK(size < (std::size_t{1} << 28));
    FUZZ_CHECK(header[4] == 'x');
  } catch (const std::logic_error& e) {
    FUZZ_CHECK(is_request_error(e));
    ++counts.request_errors;
  }
}

bool contains(const std::uint8_t* p, std::size_t n, const char* text) {
  const std::size_t t = std::strlen(text);
  for (std::size_t at = 0; at + t <= n; ++at) {
    if (std::memcmp(p + at, text, t) == 0) return true;
  }
  return false;
}

void mark_cancelled_job(input& in) {
  const bytes before = in.take(in.byte() % 81);
  const byte_array header = exact_copy(before);
  request::mark_cancelled(header.get(), before.size());
  const bool changed =
      !before.empty() && std::memcmp(header.get(), before.data(), before.size()) != 0;
  if (!changed) return;
  // Only an image header without a cancel mark is rewritten, and it then
  // carries the mark; its code stays.
  FUZZ_CHECK(before.size() >= 12 && std::memcmp(before.data(), "IMG ", 4) == 0);
  FUZZ_CHECK(!contains(before.data(), before.size(), "#atnCAN "));
  FUZZ_CHECK(contains(header.get(), before.size(), "#atnCAN "));
  FUZZ_CHECK(std::memcmp(header.get(), before.data(), 4) == 0);
}

}  // namespace

}  // namespace scanbridge::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(scanbridge::fuzz::print_counts);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace scanbridge::fuzz;
  input in(data, size);
  while (!in.empty()) {
    const std::uint8_t selector = in.byte();
    switch (selector % 6) {
      case 0:
      case 1:
        factory_job(in, selector % 6 == 1);
        break;
      case 2: {
        const bytes raw = in.take(in.byte() % 16);
        request_job(in, raw);
        break;
      }
      case 3: {
        const bytes header = make_request_header(in);
        request_job(in, header);
        break;
      }
      case 4:
        parse_size_job(in);
        break;
      default:
        mark_cancelled_job(in);
        break;
    }
  }
  return 0;
}
