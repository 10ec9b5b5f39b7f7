// SPDX-License-Identifier: MIT
#include "chaos/peer.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "commands/request.h"
#include "wire/codes.h"

namespace scanbridge::chaos {

namespace {

// How often a wait of the peer looks whether the harness wants it gone.
constexpr int SLICE_MS = 20;
constexpr std::size_t HEADER = 12;
constexpr std::uint32_t MAX_PAYLOAD = 64u << 20;
constexpr std::size_t LOG_LINES = 200;

struct incoming {
  std::uint8_t type = 0;
  std::uint8_t flag = 0;
  bytes payload;
};

// What a connection does with one packet that wants an answer.
enum class act {
  ANSWER,
  STALL_SHORT,   // stops at a random byte of its answer for less than a time-out
  STALL_LONG,    // stops at a random byte and never goes on
  FLOOD_FIRST,   // notices back to back for a while, then the answer
  FLOOD_AFTER,   // the answer, then notices back to back for a while
  NOTICE_FIRST,  // one notice of a random event, then the answer
  UNEXPECTED,    // a packet of a type nobody waits for, maybe then the answer
  SILENT,        // no answer at all
  RESET,
  STOP_READING,  // never reads again, maybe after answering
  HALF_CLOSE,    // ends its sending side, reads on
  TRICKLE,       // the answer one byte at a time
};

struct weighted_act {
  act what;
  int weight;
  const char* name;
};

constexpr weighted_act ACTS[] = {
    {act::ANSWER, 57, "answer"},
    {act::STALL_SHORT, 5, "scanner stalls mid-packet"},
    {act::STALL_LONG, 4, "scanner stalls for good"},
    {act::FLOOD_FIRST, 4, "scanner floods notices before answering"},
    {act::FLOOD_AFTER, 5, "scanner floods notices after answering"},
    {act::NOTICE_FIRST, 5, "scanner sends a notice event"},
    {act::UNEXPECTED, 4, "scanner sends an unexpected packet"},
    {act::SILENT, 4, "scanner does not answer"},
    {act::RESET, 3, "scanner resets"},
    {act::STOP_READING, 3, "scanner stops reading"},
    {act::HALF_CLOSE, 3, "scanner half-closes"},
    {act::TRICKLE, 3, "scanner trickles its answer"},
};

enum class greeting { GREET, LATE, SILENT, OLD_VERSION, FOREIGN_MAGIC, THEN_CLOSE, RESET };

struct weighted_greeting {
  greeting what;
  int weight;
  const char* name;
};

constexpr weighted_greeting GREETINGS[] = {
    {greeting::GREET, 82, nullptr},
    {greeting::LATE, 4, "scanner greets late"},
    {greeting::SILENT, 4, "scanner never greets"},
    {greeting::OLD_VERSION, 3, "scanner greets with version 1.1"},
    {greeting::FOREIGN_MAGIC, 2, "scanner greets with a foreign magic"},
    {greeting::THEN_CLOSE, 3, "scanner closes after its greeting"},
    {greeting::RESET, 2, "scanner resets at once"},
};

bool is_var_letter(std::uint8_t letter) {
  return letter == 'I' || letter == 'f' || letter == 'q' || letter == 'i';
}

// A variable reply: STX, status, the data's length (little-endian), the data.
bytes var_reply(std::uint8_t fill, std::uint16_t size) {
  bytes out = {STX, 0, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8)};
  out.resize(4 + size, fill);
  return out;
}

// An extended reply header: code, "x", the payload size in 7 upper-case hex
// digits, an empty field, spaces up to 64 bytes.
bytes reply_header(const char* code, std::uint32_t size) {
  char text[65];
  std::snprintf(text, sizeof text, "%.4sx%07X#---", code, size);
  bytes out(64, ' ');
  std::memcpy(out.data(), text, std::strlen(text));
  return out;
}

struct scan_layout {
  std::uint32_t block = 0;
  std::uint32_t count = 0;  // full blocks before the last one
  std::uint32_t last = 0;
};

}  // namespace

// One connection of the peer, served by its own thread.
class connection {
 public:
  connection(scanner_peer& peer, harness_socket socket, std::uint64_t seed, int number)
      : peer_(peer), socket_(std::move(socket)), rng_(seed), number_(number) {}

  void serve() {
    if (!greet_()) return;
    incoming in;
    while (read_packet_(&in)) {
      std::size_t stream_from = 0;
      std::vector<bytes> answers =
          peer_.is_ ? answer_is_(in, &stream_from) : answer_nt_(in, &stream_from);
      if (answers.empty()) continue;
      if (!deliver_(in.type, answers, stream_from)) return;
    }
  }

 private:
  bytes packet_(std::uint8_t type, std::uint8_t flag, const bytes& payload) const {
    bytes out(HEADER + payload.size());
    out[0] = peer_.is_ ? 'I' : 'N';
    out[1] = peer_.is_ ? 'S' : 'T';
    out[2] = type;
    out[3] = flag;
    out[5] = HEADER;
    put_be32(&out[6], static_cast<std::uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), out.begin() + HEADER);
    return out;
  }

  void note_(const char* what, std::uint8_t type) {
    char line[160];
    std::snprintf(line, sizeof line, "%s #%d: %s (on type 0x%02X) at %lld", peer_.is_ ? "IS" : "NT",
                  number_, what, type, static_cast<long long>(now_ms() % 100000));
    peer_.note_(line);
  }

  // Waits up to ms (negative: for good). False once the bridge has closed
  // the connection or the harness wants the peer gone.
  // Waits on the connection like wait_fd(). Bytes still on their way to the
  // bridge (in this end's send queue, or unread at the bridge's end) count
  // as a sign of life: the bridge has something to read then, and is not
  // waiting for this scanner.
  short wait_(short events, int ms) {
    const short revents = wait_fd(socket_.fd(), events, ms);
    if (bridge_read_on_()) peer_.touch_();
    return revents;
  }

  // True when the bridge took in some of the bytes still on their way to
  // it (in this end's send queue, or unread at the bridge's end) since the
  // last look: it is busy reading this scanner, not waiting for it. Bytes
  // that merely sit there are no sign of life.
  bool bridge_read_on_() {
    int unsent = 0;
    if (::ioctl(socket_.fd(), SIOCOUTQ, &unsent) != 0) unsent = 0;
    // The bridge's end: its own port is this end's peer port. Found once,
    // checked again each time, since the bridge may close it any moment.
    const int own_port = socket_.port();
    const int bridge_port = socket_.peer_port();
    if (bridge_end_ < 0 || !harness_socket::is(bridge_end_, bridge_port, own_port)) {
      bridge_end_ = bridge_socket(bridge_port, own_port);
    }
    int unread = 0;
    if (bridge_end_ < 0 || ::ioctl(bridge_end_, FIONREAD, &unread) != 0) unread = 0;
    const bool progress = unsent < last_unsent_ || unread < last_unread_;
    last_unsent_ = unsent;
    last_unread_ = unread;
    return progress;
  }

  bool pause_(int ms) {
    const std::int64_t until = ms < 0 ? -1 : now_ms() + ms;
    for (;;) {
      if (peer_.stopping_) return false;
      int slice = SLICE_MS;
      if (until >= 0) {
        const std::int64_t left = until - now_ms();
        if (left <= 0) return true;
        slice = static_cast<int>(std::min<std::int64_t>(left, SLICE_MS));
      }
      if (wait_(POLLRDHUP, slice) & (POLLRDHUP | POLLHUP | POLLERR)) {
        peer_.touch_();
        return false;
      }
    }
  }

  bool read_exact_(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (peer_.stopping_) return false;
      const ssize_t got = ::recv(socket_.fd(), out, n, MSG_DONTWAIT);
      if (got > 0) {
        peer_.touch_();
        out += got;
        n -= static_cast<std::size_t>(got);
        continue;
      }
      if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        peer_.touch_();
        return false;
      }
      wait_(POLLIN, SLICE_MS);
    }
    return true;
  }

  bool read_packet_(incoming* in) {
    std::uint8_t h[HEADER];
    if (!read_exact_(h, HEADER)) return false;
    if (h[0] != (peer_.is_ ? 'I' : 'N') || h[1] != (peer_.is_ ? 'S' : 'T')) return false;
    const std::uint32_t length = get_be32(h + 6);
    if (length > MAX_PAYLOAD) return false;
    in->type = h[2];
    in->flag = h[3];
    in->payload.assign(length, 0);
    if (length > 65536 && chance(rng_, 20)) {
      // Stops reading in the middle of a large packet: the bridge is left
      // without room to send the rest.
      ++peer_.misbehaviours_;
      count_fault("scanner stops reading mid-packet");
      note_("scanner stops reading mid-packet", in->type);
      read_exact_(in->payload.data(), static_cast<std::size_t>(draw(rng_, 0, 65536)));
      pause_(-1);
      return false;
    }
    return read_exact_(in->payload.data(), length);
  }

  bool send_(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
      if (peer_.stopping_) return false;
      const ssize_t sent = ::send(socket_.fd(), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        peer_.touch_();
        data += sent;
        n -= static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
      wait_(POLLOUT, SLICE_MS);
    }
    return true;
  }
  bool send_(const bytes& b) { return send_(b.data(), b.size()); }

  bool greet_() {
    const weighted_greeting& g = pick(rng_, GREETINGS);
    if (g.name != nullptr) {
      ++peer_.misbehaviours_;
      count_fault(g.name);
      note_(g.name, 0x80);
    }
    const bytes good = packet_(0x80, 0, {1, 2, 0});
    switch (g.what) {
      case greeting::GREET:
        return send_(good);
      case greeting::LATE:
        return pause_(static_cast<int>(draw(rng_, 1, peer_.lim_.scanner_ms / 2))) && send_(good);
      case greeting::SILENT:
        pause_(-1);
        return false;
      case greeting::OLD_VERSION:
        return send_(packet_(0x80, 0, {1, 1, 0}));
      case greeting::FOREIGN_MAGIC: {
        bytes foreign = good;
        foreign[0] = 'X';
        return send_(foreign);
      }
      case greeting::THEN_CLOSE:
        send_(good);
        return false;
      case greeting::RESET:
        socket_.reset();
        return false;
    }
    return false;
  }

  // Answers of the NT variant, packets as they go on the wire.
  std::vector<bytes> answer_nt_(const incoming& in, std::size_t* stream_from) {
    const bytes& c = in.payload;
    if (in.type == 0x11) {
      if (c == bytes{0, 0}) return {packet_(0x91, 0, {0, 1})};
      return {};  // the setup request wants no answer
    }
    if (in.type != 0x01 && in.type != 0x08) return {};
    const auto reply = static_cast<std::uint8_t>(in.type | 0x80);
    if (c.size() == 1 && c[0] == CAN) return {packet_(0x81, 0, {ACK})};
    if (in.type == 0x08 && c.size() == 2 && c[1] == 'G') {
      const scan_layout layout = plan_scan_();
      std::vector<bytes> out = {packet_(0x89, 0, info_block_(layout))};
      *stream_from = 1;
      add_blocks_(layout, 0x89, &out);
      return out;
    }
    if (c.size() == 2 && c[0] == ESC && is_var_letter(c[1])) {
      return {packet_(reply, 0, var_reply(c[1], 8))};
    }
    return {packet_(reply, 0, {ACK})};
  }

  // Answers of the IS variant.
  std::vector<bytes> answer_is_(const incoming& in, std::size_t* stream_from) {
    if (in.type == 0x21) return {packet_(0xA1, in.flag, {ACK})};  // open, or close
    if (in.type == 0x22) {
      if (in.flag == 1) return {packet_(0xA2, 0, {ACK})};  // a cancel
      if (!layout_) return {};
      std::vector<bytes> out;
      add_blocks_(*layout_, 0xA2, &out);
      layout_.reset();
      *stream_from = 0;
      return out;
    }
    if (in.type != 0x20 || in.payload.size() < 8) return {};
    const std::uint32_t reply_size = get_be32(in.payload.data() + 4);
    const bytes data(in.payload.begin() + 8, in.payload.end());
    const bytes answer = extended_ ? extended_answer_(data) : legacy_answer_(data);
    // Exactly the bytes asked for; the rest waits for a request of none.
    bytes out(reply_size, 0);
    const std::size_t taken = std::min<std::size_t>(answer.size(), reply_size);
    std::copy_n(answer.begin(), taken, out.begin());
    if (answer.size() > taken) pending_.assign(answer.begin() + taken, answer.end());
    return {packet_(0xA0, 0, out)};
  }

  bytes take_pending_() {
    bytes out = std::move(pending_);
    pending_.clear();
    return out;
  }

  bytes legacy_answer_(const bytes& data) {
    if (data.empty()) return take_pending_();
    pending_.clear();
    layout_.reset();
    if (data.size() == 2 && data[0] == FS && data[1] == 'G') {
      layout_ = plan_scan_();
      return info_block_(*layout_);
    }
    if (data.size() == 2 && data[0] == FS && (data[1] == 'X' || data[1] == 'Y' || data[1] == 'Z')) {
      extended_ = true;
      return {ACK};
    }
    if (data.size() == 2 && data[0] == ESC && data[1] == '!') return var_reply(0, 1);
    if (data.size() == 2 && data[0] == ESC && is_var_letter(data[1])) return var_reply(data[1], 8);
    return {ACK};
  }

  bytes extended_answer_(const bytes& data) {
    if (awaiting_payload_ && !data.empty()) {
      awaiting_payload_ = false;
      return reply_header("IMG ", 0);
    }
    if (data.empty()) return take_pending_();
    pending_.clear();
    if (data.size() <= 2) {
      extended_ = false;
      return legacy_answer_(data);
    }
    // The scanner reads the size as the bridge does.
    std::size_t size = 0;
    if (data.size() != REQUEST_SIZE || request::read_size(data.data(), &size) != nullptr) {
      return reply_header("ERR ", 0);
    }
    if (size > 0) {
      awaiting_payload_ = true;
      return {};
    }
    if (std::memcmp(data.data(), "FIN ", 4) == 0) {
      extended_ = false;
      return reply_header("FIN ", 0);
    }
    pending_.assign(16, 0x5A);
    return reply_header("IMG ", 16);
  }

  scan_layout plan_scan_() {
    // The largest block is more than the link's buffers hold, so that a
    // driver that stops reading leaves the bridge without room.
    static constexpr std::uint32_t SIZES[] = {16, 4096, 65536, 1u << 20, 6u << 20};
    scan_layout l;
    l.block = SIZES[draw(rng_, 0, 4)];
    l.count = static_cast<std::uint32_t>(draw(rng_, 0, 3));
    l.last = static_cast<std::uint32_t>(draw(rng_, 1, l.block));
    return l;
  }

  static bytes info_block_(const scan_layout& l) {
    bytes b(14, 0);
    b[0] = STX;
    put_le32(&b[2], l.block);
    put_le32(&b[6], l.count);
    put_le32(&b[10], l.last);
    return b;
  }

  // The data blocks of a scan, each with its status byte 0.
  void add_blocks_(const scan_layout& l, std::uint8_t type, std::vector<bytes>* out) {
    for (std::uint32_t i = 0; i <= l.count; ++i) {
      const std::uint32_t size = i < l.count ? l.block : l.last;
      bytes block(size + 1, static_cast<std::uint8_t>(0x30 + i));
      block[size] = 0;
      out->push_back(packet_(type, 0, block));
    }
  }

  // Notices back to back for ms, mostly of events the bridge ignores.
  bool flood_(int ms) {
    const std::int64_t until = now_ms() + ms;
    bytes batch;
    for (int i = 0; i < 64; ++i) {
      const std::uint8_t code = chance(rng_, 5) ? 0x01 : chance(rng_, 1) ? 0x03 : 0x55;
      const bytes n = packet_(notice_type_(), 0, {code});
      batch.insert(batch.end(), n.begin(), n.end());
    }
    while (now_ms() < until) {
      if (peer_.stopping_) return false;
      const ssize_t sent =
          ::send(socket_.fd(), batch.data(), batch.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        peer_.touch_();
        // A notice cut in two is finished, so the stream stays framed.
        const std::size_t rest = static_cast<std::size_t>(sent) % 13;
        if (rest != 0 && !send_(batch.data() + sent, 13 - rest)) return false;
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (wait_(POLLOUT, SLICE_MS) & (POLLHUP | POLLERR)) return false;
    }
    return true;
  }

  std::uint8_t notice_type_() const { return peer_.is_ ? 0x90 : 0x84; }

  std::uint8_t random_event_() {
    static constexpr std::uint8_t NT_EVENTS[] = {0x01, 0x03, 0x02, 0x10, 0x11, 0xFF, 0x80, 0x42};
    static constexpr std::uint8_t IS_EVENTS[] = {0x01, 0x03, 0x02, 0x80, 0xA0, 0x10, 0x42};
    return peer_.is_ ? IS_EVENTS[draw(rng_, 0, 6)] : NT_EVENTS[draw(rng_, 0, 7)];
  }

  // Sends the answers, from stream_from on as a scan's stream: the stream
  // stops at a block boundary as soon as the bridge has sent something (a
  // cancel), which the serving loop then reads.
  bool send_answers_(const std::vector<bytes>& answers, std::size_t stream_from,
                     std::size_t first_skip = 0) {
    for (std::size_t i = 0; i < answers.size(); ++i) {
      if (i > 0 && i >= stream_from && (wait_fd(socket_.fd(), POLLIN, 0) & POLLIN)) return true;
      const bytes& a = answers[i];
      const std::size_t skip = i == 0 ? first_skip : 0;
      if (!send_(a.data() + skip, a.size() - skip)) return false;
    }
    return true;
  }

  // Carries out the act chosen for this exchange. False when the
  // connection is over for the peer.
  bool deliver_(std::uint8_t type, const std::vector<bytes>& answers, std::size_t stream_from) {
    const weighted_act& a = pick(rng_, ACTS);
    if (a.what != act::ANSWER) {
      ++peer_.misbehaviours_;
      count_fault(a.name);
      note_(a.name, type);
    }
    const int t = peer_.lim_.scanner_ms;
    const bytes& first = answers.front();
    switch (a.what) {
      case act::ANSWER:
        return send_answers_(answers, stream_from);
      case act::STALL_SHORT:
      case act::STALL_LONG: {
        const auto at = static_cast<std::size_t>(draw(rng_, 0, static_cast<int>(first.size()) - 1));
        if (!send_(first.data(), at)) return false;
        if (a.what == act::STALL_LONG) {
          pause_(-1);
          return false;
        }
        return pause_(static_cast<int>(draw(rng_, t / 8, t / 2))) &&
               send_answers_(answers, stream_from, at);
      }
      case act::FLOOD_FIRST:
        return flood_(static_cast<int>(draw(rng_, t, 5 * t))) &&
               send_answers_(answers, stream_from);
      case act::FLOOD_AFTER:
        return send_answers_(answers, stream_from) &&
               flood_(static_cast<int>(draw(rng_, t, 5 * t)));
      case act::NOTICE_FIRST:
        return send_(packet_(notice_type_(), 0, {random_event_()})) &&
               send_answers_(answers, stream_from);
      case act::UNEXPECTED: {
        const auto odd = static_cast<std::uint8_t>(draw(rng_, 0x20, 0xFF));
        bytes junk(static_cast<std::size_t>(draw(rng_, 0, 20)), 0xEE);
        if (odd == notice_type_()) junk.assign(1, 0x55);
        if (!send_(packet_(odd, 0, junk))) return false;
        return !chance(rng_, 50) || send_answers_(answers, stream_from);
      }
      case act::SILENT:
        return true;
      case act::RESET:
        socket_.reset();
        return false;
      case act::STOP_READING:
        if (chance(rng_, 50) && !send_answers_(answers, stream_from)) return false;
        pause_(-1);
        return false;
      case act::HALF_CLOSE: {
        ::shutdown(socket_.fd(), SHUT_WR);
        incoming ignored;
        while (read_packet_(&ignored)) {
        }
        return false;
      }
      case act::TRICKLE:
        if (answers.size() > 1 || first.size() > 64) return send_answers_(answers, stream_from);
        for (std::uint8_t byte : first) {
          if (!send_(&byte, 1) || !pause_(static_cast<int>(draw(rng_, t / 8, t / 3)))) return false;
        }
        return true;
    }
    return false;
  }

  scanner_peer& peer_;
  harness_socket socket_;
  rng rng_;
  const int number_;
  // The descriptor of the bridge's end of this connection, once found, and
  // the bytes waiting on both ends at the last look.
  int bridge_end_ = -1;
  int last_unsent_ = 0;
  int last_unread_ = 0;
  // The IS scanner's state between packets.
  bool extended_ = false;
  bool awaiting_payload_ = false;
  bytes pending_;
  std::optional<scan_layout> layout_;
};

scanner_peer::scanner_peer(bool is, std::uint64_t seed, const limits& lim)
    : is_(is), seed_(seed), lim_(lim), last_activity_(now_ms()) {
  // A small receive buffer, so that a peer that stops reading soon leaves
  // the bridge without room to send.
  listener_ = harness_socket::listen_any(4096);
  port_ = listener_.port();
  acceptor_ = std::thread([this] { accept_loop_(); });
}

scanner_peer::~scanner_peer() {
  stopping_ = true;
  acceptor_.join();
  for (std::thread& t : served_) t.join();
}

void scanner_peer::accept_loop_() {
  while (!stopping_) {
    if ((wait_fd(listener_.fd(), POLLIN, SLICE_MS) & POLLIN) == 0) continue;
    harness_socket conn = listener_.accept_one();
    if (!conn) continue;
    touch_();
    const int number = connections_++;
    const std::lock_guard lock(lock_);
    served_.emplace_back([this, number, s = std::move(conn)]() mutable {
      connection(*this, std::move(s), derive(seed_, static_cast<std::uint64_t>(number)), number)
          .serve();
      touch_();
    });
  }
}

void scanner_peer::touch_() {
  const std::int64_t now = now_ms();
  const std::int64_t gap = now - std::max(last_activity_.exchange(now), watched_from_.load());
  std::int64_t longest = longest_gap_;
  while (gap > longest && !longest_gap_.compare_exchange_weak(longest, gap)) {
  }
}

void scanner_peer::watch_gaps() {
  watched_from_ = now_ms();
  longest_gap_ = 0;
}

std::int64_t scanner_peer::longest_gap() const {
  return std::max<std::int64_t>(longest_gap_,
                                now_ms() - std::max(last_activity_.load(), watched_from_.load()));
}

void scanner_peer::note_(const std::string& line) {
  const std::lock_guard lock(lock_);
  if (log_.size() < LOG_LINES) log_.push_back(line);
}

std::vector<std::string> scanner_peer::take_log() {
  const std::lock_guard lock(lock_);
  return std::exchange(log_, {});
}

}  // namespace scanbridge::chaos
