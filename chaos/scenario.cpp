// SPDX-License-Identifier: MIT
#include "chaos/scenario.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/link.h"
#include "chaos/peer.h"
#include "commands/chunk.h"
#include "tools/common/hex.h"
#include "wire/codes.h"

namespace scanbridge::chaos {

namespace {

using std::chrono::milliseconds;

// No kind the bridge knows: it answers with the message's id and status -1,
// which marks the end of whatever the message before it caused.
constexpr std::uint32_t KIND_PING = 9;
constexpr std::uint32_t PING_ID = 0x7FFFFFF0;
// In the ids a reply may carry: any.
constexpr std::uint32_t ANY_ID = 0xFFFFFFFF;
constexpr std::uint32_t FAILED = 0xFFFFFFFF;
// No honest wait comes near this; past it the harness counts a violation and
// tears the scenario down.
constexpr int HARD_CAP_MS = 15000;
constexpr std::uint32_t MAX_REPLY = 64u << 20;
// Small, so that a driver that stops reading soon leaves the bridge without
// room for its replies.
constexpr int CLIENT_RCVBUF = 4096;

bytes text(const std::string& s) {
  return bytes(s.begin(), s.end());
}

bytes frame(std::uint32_t id, std::uint32_t kind, const bytes& payload) {
  bytes out(LINK_HEADER_SIZE + payload.size());
  link_header{id, kind, 0, static_cast<std::uint32_t>(payload.size())}.encode(out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + LINK_HEADER_SIZE);
  return out;
}

std::string describe(const bytes& b) {
  if (b.empty()) return "(none)";
  std::string s = tools::hex_bytes({b.data(), std::min<std::size_t>(b.size(), 16)});
  if (b.size() > 16) s += " ... (" + std::to_string(b.size()) + " bytes)";
  return s;
}

struct reply {
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  std::uint32_t status = 0;
  bytes payload;
};

enum class got { REPLY, TIME_OUT, CLOSED, MALFORMED, CUT_SHORT };

// The driver's end of the client link.
class driver_link {
 public:
  bool connect(int port, bool* refused) {
    s_ = harness_socket::connect_to(port, CLIENT_RCVBUF, refused);
    return static_cast<bool>(s_);
  }
  void close() { s_.close(); }
  void reset() { s_.reset(); }
  bool send(const bytes& b) { return s_ && send_all(s_.fd(), b.data(), b.size(), HARD_CAP_MS); }

  // One reply, waiting up to wait_ms for it to begin. Once it has begun, a
  // pause longer than the client time-out plus the margin means the bridge
  // left it cut short on a link it kept open: a fault, since a reply cut
  // short must end the link.
  got read(reply* r, int wait_ms, int within_ms) {
    std::uint8_t h[LINK_HEADER_SIZE];
    got g = fill_(h, sizeof h, wait_ms, within_ms);
    if (g != got::REPLY) return g;
    const link_header header = link_header::decode(h);
    r->id = header.id;
    r->kind = header.kind;
    r->status = header.status;
    const std::uint32_t length = header.length;
    if (r->kind != 0 || (r->status != 0 && r->status != FAILED) || length > MAX_REPLY) {
      return got::MALFORMED;
    }
    r->payload.assign(length, 0);
    g = fill_(r->payload.data(), length, within_ms, within_ms);
    return g == got::REPLY ? got::REPLY : g == got::TIME_OUT ? got::CUT_SHORT : g;
  }

 private:
  got fill_(std::uint8_t* out, std::size_t n, int first_wait_ms, int within_ms) {
    std::size_t done = 0;
    while (done < n) {
      const ssize_t k = ::recv(s_.fd(), out + done, n - done, MSG_DONTWAIT);
      if (k > 0) {
        done += static_cast<std::size_t>(k);
        continue;
      }
      if (k == 0 || (errno != EAGAIN && errno != EINTR)) return got::CLOSED;
      const int wait = done == 0 ? first_wait_ms : within_ms;
      if ((wait_fd(s_.fd(), POLLIN, wait) & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return done == 0 ? got::TIME_OUT : got::CUT_SHORT;
      }
    }
    return got::REPLY;
  }

  harness_socket s_;
};

// The bridge object, run by a thread of its own as the process runs it: a
// malformed extended request ends run() with an exception, and the bridge
// is then destroyed, closing every device, as the process entry does.
class bridge_run {
 public:
  explicit bridge_run(const limits& lim) {
    bridge_timing t;
    t.client = milliseconds(lim.client_ms);
    t.session.tries = lim.tries;
    t.session.timeout = milliseconds(lim.scanner_ms);
    t.session.scan_timeout = milliseconds(lim.scanner_ms);
    t.session.max_backoff = milliseconds(lim.backoff_ms);
    t.session.closing = milliseconds(lim.closing_ms);
    bridge_ = std::make_unique<bridge>(t);
    port_ = bridge_->port();
    thread_ = std::thread([this] { main_(); });
  }
  ~bridge_run() { thread_.join(); }
  bridge_run(const bridge_run&) = delete;
  bridge_run& operator=(const bridge_run&) = delete;

  int port() const { return port_; }
  void signal(int sig) {
    signalled_at_ = now_ms();
    pthread_kill(thread_.native_handle(), sig);
  }
  std::int64_t signalled_at() const { return signalled_at_; }
  // True once the bridge has ended, waiting up to ms for it.
  bool wait_end(int ms) {
    std::unique_lock lock(lock_);
    return ended_cv_.wait_for(lock, milliseconds(ms), [this] { return ended_at_ >= 0; });
  }
  bool ended() {
    const std::lock_guard lock(lock_);
    return ended_at_ >= 0;
  }
  std::int64_t ended_at() {
    const std::lock_guard lock(lock_);
    return ended_at_;
  }
  std::string fatal() {
    const std::lock_guard lock(lock_);
    return fatal_;
  }

 private:
  void main_() {
    std::string fatal;
    try {
      bridge_->run();
    } catch (const std::exception& e) {
      fatal = e.what();
    }
    bridge_.reset();
    const std::lock_guard lock(lock_);
    ended_at_ = now_ms();
    fatal_ = fatal;
    ended_cv_.notify_all();
  }

  std::unique_ptr<bridge> bridge_;
  int port_ = 0;
  std::atomic<std::int64_t> signalled_at_{-1};
  std::mutex lock_;
  std::condition_variable ended_cv_;
  std::int64_t ended_at_ = -1;
  std::string fatal_;
  std::thread thread_;
};

enum class mode { LEGACY, EXTENDED, UNKNOWN };

struct device {
  std::uint32_t id = 0;
  scanner_peer* peer = nullptr;
  mode m = mode::LEGACY;
  // Anything but a well-behaved exchange since the device was opened.
  bool tainted = false;
  long misbehaviours = 0;
  int connections = 0;

  bool clean() const {
    return !tainted && peer->misbehaviours() == misbehaviours && peer->connections() == connections;
  }
};

// What one message and the ping behind it brought.
struct round_trip {
  bool done = false;  // the ping was answered
  std::vector<reply> replies;
  std::uint32_t status() const { return replies.empty() ? 0 : replies.front().status; }
  bool failed() const { return !replies.empty() && replies.front().status == FAILED; }
};

class scenario {
 public:
  scenario(std::uint64_t seed, const limits& lim, int* baseline_fds)
      : seed_(seed),
        rng_(seed),
        lim_(lim),
        baseline_fds_(baseline_fds),
        shut_(harness_socket::bound_any()) {}

  scenario_result run() {
    const int count = static_cast<int>(draw(rng_, 1, 3));
    for (int i = 0; i < count; ++i) {
      peers_.push_back(
          std::make_unique<scanner_peer>(chance(rng_, 50), derive(seed_, 100 + i), lim_));
      note_(std::string("scanner ") + std::to_string(i) + ": " +
            (peers_.back()->is() ? "IS" : "NT"));
    }
    bridge_ = std::make_unique<bridge_run>(lim_);
    if (come_back_(now_ms(), 0, "first connection")) {
      const int steps = static_cast<int>(draw(rng_, 4, 16));
      for (int i = 0; i < steps && !over_; ++i) {
        ++result_.steps;
        step_();
        note_peers_();
      }
    }
    finish_();
    note_peers_();
    return std::move(result_);
  }

 private:
  // --- bookkeeping ---------------------------------------------------------

  void note_(const std::string& line) {
    char at[16];
    std::snprintf(at, sizeof at, "%6lld ", static_cast<long long>(now_ms() - began_));
    result_.record.push_back(at + line);
  }
  // What the scanners chose meanwhile.
  void note_peers_() {
    for (auto& p : peers_) {
      for (std::string& line : p->take_log()) note_("    " + line);
    }
  }
  void violation_(const std::string& what) {
    result_.violations.push_back(what);
    note_("VIOLATION: " + what);
  }
  int data_bound_() const {
    return lim_.scanner_ms + lim_.backoff_ms + lim_.closing_ms + lim_.margin_ms;
  }
  // A stop or the driver's departure closes every device the bridge may
  // hold: at most one per scanner, plus one whose closing was under way.
  int closing_bound_() const {
    return lim_.margin_ms + lim_.closing_ms * (static_cast<int>(peers_.size()) + 1);
  }
  std::int64_t latest_activity_() const {
    std::int64_t t = last_send_;
    for (const auto& p : peers_) t = std::max(t, p->last_activity());
    return t;
  }
  bool send_(const bytes& b) {
    last_send_ = now_ms();
    return link_.send(b);
  }

  // --- the link ------------------------------------------------------------

  // Sends message (and a ping behind it), then reads every reply up to the
  // ping's. ids: the ids a reply may carry. bound_ms: the longest the bridge
  // may go, while it serves the message, without a sign of life from peer
  // (or, without a peer, in all); negative: not checked. stall_ms: the driver
  // reads nothing for that long after sending.
  round_trip exchange_(const bytes& message, scanner_peer* peer, std::vector<std::uint32_t> ids,
                       int bound_ms, const std::string& what, int stall_ms = 0) {
    round_trip rt;
    bytes out = message;
    const bytes ping = frame(PING_ID, KIND_PING, {});
    out.insert(out.end(), ping.begin(), ping.end());
    const std::int64_t start = now_ms();
    if (peer != nullptr) peer->watch_gaps();
    if (!send_(out)) {
      lost_link_(what);
      return rt;
    }
    if (stall_ms > 0) {
      note_("  the driver stops reading for " + std::to_string(stall_ms) + " ms");
      std::this_thread::sleep_for(milliseconds(stall_ms));
    }
    const int within = lim_.client_ms + lim_.margin_ms;
    for (;;) {
      reply r;
      switch (link_.read(&r, HARD_CAP_MS, within)) {
        case got::REPLY:
          if (r.id == PING_ID) {
            if (r.status != FAILED || !r.payload.empty())
              violation_(what + ": the ping's reply is wrong");
            rt.done = true;
            break;
          }
          if (std::find(ids.begin(), ids.end(), r.id) == ids.end() &&
              std::find(ids.begin(), ids.end(), ANY_ID) == ids.end()) {
            violation_(what + ": a reply for id " + std::to_string(r.id));
          }
          rt.replies.push_back(std::move(r));
          continue;
        case got::MALFORMED:
          violation_(what + ": a malformed reply header on the client link");
          come_back_after_fault_(what);
          return rt;
        case got::CUT_SHORT:
          violation_(what + ": a reply cut short on a link the bridge kept open");
          come_back_after_fault_(what);
          return rt;
        case got::TIME_OUT:
          violation_(what + ": nothing within " + std::to_string(HARD_CAP_MS) + " ms");
          over_ = true;
          return rt;
        case got::CLOSED:
          if (stall_ms > lim_.client_ms && !bridge_->wait_end(lim_.margin_ms)) {
            // The replies could not be written in time: the link is over.
            note_("  the bridge ended the link it could not write to");
            come_back_(now_ms(), static_cast<int>(devices_.size()), what);
          } else {
            lost_link_(what);
          }
          return rt;
      }
      break;
    }
    // The longest the bridge went without a sign of life from the scanner
    // while this message was served.
    const std::int64_t gap = peer != nullptr ? peer->longest_gap() : now_ms() - start;
    if (bound_ms >= 0 && stall_ms == 0 && gap > bound_ms) {
      violation_(what + ": " + std::to_string(gap) +
                 " ms without a sign of life from the scanner (bound " + std::to_string(bound_ms) +
                 " ms)");
    }
    for (const reply& r : rt.replies) {
      note_("  reply id " + std::to_string(r.id) + " status " + (r.status == 0 ? "0" : "-1") +
            ": " + describe(r.payload));
    }
    return rt;
  }

  // The link closed under the driver: fine when the bridge ended (a stop or
  // a fatal request), a violation otherwise.
  void lost_link_(const std::string& what) {
    if (bridge_->wait_end(lim_.margin_ms)) {
      over_ = true;
      return;
    }
    violation_(what + ": the bridge closed the client link");
    come_back_(now_ms(), static_cast<int>(devices_.size()), what);
  }

  void come_back_after_fault_(const std::string& what) {
    link_.reset();
    come_back_(now_ms(), static_cast<int>(devices_.size()), what);
  }

  // Connects again after the driver left at left_at with closing devices
  // open: the bridge must serve it within the margin plus one closing
  // exchange each, and hold no descriptor but the new link's and its own.
  bool come_back_(std::int64_t left_at, int closing, const std::string& what) {
    devices_.clear();
    ++link_epoch_;
    for (;;) {
      bool refused = false;
      if (link_.connect(bridge_->port(), &refused)) break;
      if (!refused || bridge_->ended() || now_ms() - left_at > HARD_CAP_MS) {
        if (!bridge_->ended()) violation_(what + ": the bridge's port stayed shut");
        over_ = true;
        return false;
      }
      std::this_thread::sleep_for(milliseconds(2));
    }
    const round_trip rt = exchange_({}, nullptr, {}, -1, what + ", back");
    if (!rt.done) return false;
    const std::int64_t took = now_ms() - left_at;
    const int bound = closing > 0 ? closing_bound_() : lim_.margin_ms;
    if (took > bound) {
      violation_(what + ": the driver was served " + std::to_string(took) +
                 " ms after leaving (bound " + std::to_string(bound) + " ms)");
    }
    const int fds = bridge_descriptors();
    if (*baseline_fds_ == 0) *baseline_fds_ = fds;
    if (fds != *baseline_fds_) {
      violation_(what + ": the bridge holds " + std::to_string(fds) +
                 " descriptors with a new client, " + std::to_string(*baseline_fds_) + " before");
    }
    return true;
  }

  // --- steps ---------------------------------------------------------------

  device* any_device_(bool legacy_only) {
    std::vector<device*> found;
    for (auto& [index, d] : devices_) {
      if (!legacy_only || d.m == mode::LEGACY) found.push_back(&d);
    }
    if (found.empty()) return nullptr;
    return found[static_cast<std::size_t>(
        draw(rng_, 0, static_cast<std::int64_t>(found.size()) - 1))];
  }

  void step_() {
    struct weighted {
      void (scenario::*run)();
      int weight;
    };
    static constexpr weighted STEPS[] = {
        {&scenario::open_, 14},    {&scenario::open_bad_port_, 3}, {&scenario::command_, 20},
        {&scenario::scan_, 10},    {&scenario::extended_, 10},     {&scenario::close_, 6},
        {&scenario::partial_, 5},  {&scenario::leave_, 5},         {&scenario::idle_, 3},
        {&scenario::stall_, 6},    {&scenario::signal_, 4},        {&scenario::fatal_, 2},
        {&scenario::odd_data_, 3},
    };
    (this->*pick(rng_, STEPS).run)();
  }

  void open_() {
    std::vector<std::size_t> free;
    for (std::size_t i = 0; i < peers_.size(); ++i) {
      if (devices_.count(static_cast<int>(i)) == 0) free.push_back(i);
    }
    if (free.empty()) return command_();
    const std::size_t index =
        free[static_cast<std::size_t>(draw(rng_, 0, static_cast<std::int64_t>(free.size()) - 1))];
    scanner_peer* peer = peers_[index].get();
    // Whatever the scanner does from here on counts against the device.
    const long misbehaviours = peer->misbehaviours();
    const int connections = peer->connections();
    note_("OPEN scanner " + std::to_string(index));
    const round_trip rt =
        exchange_(frame(0, KIND_OPEN, text("net://127.0.0.1:" + std::to_string(peer->port()))),
                  peer, {ANY_ID}, data_bound_(), "OPEN");
    if (!rt.done) return;
    if (rt.replies.size() != 1 || !rt.replies[0].payload.empty() ||
        (rt.replies[0].status == 0) == (rt.replies[0].id == 0)) {
      violation_("OPEN: not one reply with a new id, or id 0 and status -1");
      return;
    }
    const reply& r = rt.replies[0];
    if (r.status != 0) return;
    for (const auto& [i, d] : devices_) {
      if (d.id == r.id) violation_("OPEN: id " + std::to_string(r.id) + " given twice");
    }
    device d;
    d.id = r.id;
    d.peer = peer;
    d.misbehaviours = misbehaviours;
    d.connections = connections + 1;
    devices_[static_cast<int>(index)] = d;
  }

  // A port outside 1-65535 fails the OPEN at once, without a connection.
  void open_bad_port_() {
    scanner_peer* peer = peers_[static_cast<std::size_t>(
                                    draw(rng_, 0, static_cast<std::int64_t>(peers_.size()) - 1))]
                             .get();
    static constexpr const char* SUFFIXES[] = {"", "0", "99999", "-1"};
    const std::int64_t pick = draw(rng_, 0, 4);
    const std::string port = pick == 4 ? std::to_string(peer->port() + 65536) : SUFFIXES[pick];
    count_fault("driver opens a port outside 1-65535");
    note_("OPEN with port '" + port + "'");
    const int before = peer->connections();
    const round_trip rt = exchange_(frame(0, KIND_OPEN, text("net://127.0.0.1:" + port)), nullptr,
                                    {ANY_ID}, lim_.margin_ms, "OPEN of port '" + port + "'");
    if (!rt.done) return;
    if (rt.replies.size() != 1 || rt.replies[0].status != FAILED) {
      violation_("OPEN of port '" + port + "' did not fail");
      // A device was made after all: close it, so the id stays free.
      if (rt.replies.size() == 1 && rt.replies[0].id != 0) {
        exchange_(frame(rt.replies[0].id, KIND_CLOSE, {}), nullptr, {}, -1, "CLOSE");
      }
    }
    if (peer->connections() != before) violation_("OPEN of port '" + port + "' reached a scanner");
  }

  // One DATA message to a device, with the checks every DATA gets. Not done
  // when the driver had to come back meanwhile: the device is gone then.
  round_trip data_(device& d, const bytes& payload, const std::string& what, int stall_ms = 0) {
    note_("DATA to " + std::to_string(d.id) + " (" + what + "): " + describe(payload));
    const std::uint64_t epoch = link_epoch_;
    round_trip rt =
        exchange_(frame(d.id, KIND_DATA, payload), d.peer, {d.id}, data_bound_(), what, stall_ms);
    if (link_epoch_ != epoch) {
      rt.done = false;
      return rt;
    }
    if (rt.failed()) d.tainted = true;
    // An NT scanner has no extended requests: whatever comes in extended
    // mode fails and goes back to legacy commands.
    if (!d.peer->is() && d.m == mode::EXTENDED) d.m = mode::LEGACY;
    return rt;
  }

  // Leaves extended mode, as far as the driver can tell: a FIN request that
  // the scanner answers with FIN.
  bool to_legacy_(device& d) {
    if (d.m == mode::LEGACY) return true;
    const round_trip rt = data_(d, text("FIN x0000000"), "FIN");
    if (!rt.done) return false;
    const bool fin = rt.done && rt.status() == 0 && !rt.replies.empty() &&
                     rt.replies[0].payload.size() >= 4 &&
                     std::memcmp(rt.replies[0].payload.data(), "FIN ", 4) == 0;
    d.m = fin ? mode::LEGACY : mode::UNKNOWN;
    d.tainted = true;
    return fin;
  }

  // Enters extended mode (FS X answered by one ACK) unless the driver
  // believes the device is in it already. False when it did not.
  bool to_extended_(device& d) {
    if (d.m != mode::LEGACY) return true;
    const round_trip rt = data_(d, {FS, 'X'}, "FS X");
    if (!rt.done || rt.failed() || rt.replies.size() != 1 || rt.replies[0].payload != bytes{ACK}) {
      return false;
    }
    d.m = mode::EXTENDED;
    return true;
  }

  void command_() {
    device* d = any_device_(false);
    if (d == nullptr) return open_();
    if (!to_legacy_(*d) || over_) return;
    static const bytes COMMANDS[] = {{ESC, '@'}, {ESC, '@'}, {ESC, '@'}, {ESC, 'I'},
                                     {ESC, '!'}, {0x0C},     {ESC, 'F'}, {FS, 'F'}};
    const bytes& command = COMMANDS[draw(rng_, 0, 7)];
    const bool clean = d->clean();
    const round_trip rt = data_(*d, command, "command");
    if (rt.done && clean && command == bytes{ESC, '@'} && d->clean() &&
        (rt.replies.size() != 1 || rt.replies[0].status != 0 ||
         rt.replies[0].payload != bytes{ACK})) {
      violation_("ESC @ to a well-behaved scanner did not get exactly 06 with status 0");
    }
  }

  void scan_() { scan_with_stall_(0); }

  void stall_() {
    const int c = lim_.client_ms;
    const int stall = chance(rng_, 50) ? static_cast<int>(draw(rng_, 20, c / 2))
                                       : static_cast<int>(draw(rng_, c + 50, 2 * c - 50));
    count_fault("driver stops reading its replies");
    scan_with_stall_(stall);
  }

  void scan_with_stall_(int stall_ms) {
    device* d = any_device_(true);
    if (d == nullptr) return open_();
    const round_trip start = data_(*d, {FS, 'G'}, "scan", stall_ms);
    if (!start.done || start.failed() || start.replies.empty()) return;
    const bytes& info = start.replies[0].payload;
    if (info.size() != 14 || info[0] != 0x02) return;
    const std::uint32_t blocks = get_le32(&info[6]);
    const std::int64_t cancel_at = chance(rng_, 20) ? draw(rng_, 0, blocks) : -1;
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(blocks, 8) && !over_; ++i) {
      if (static_cast<std::int64_t>(i) == cancel_at) {
        data_(*d, {CAN}, "cancel");
        return;
      }
      const round_trip next = data_(*d, {ACK}, "ACK");
      if (!next.done || next.failed() || next.replies.empty()) return;
    }
  }

  void extended_() {
    device* d = any_device_(false);
    if (d == nullptr) return open_();
    if (!to_extended_(*d)) return;
    const int requests = static_cast<int>(draw(rng_, 1, 3));
    for (int i = 0; i < requests && !over_; ++i) {
      if (chance(rng_, 50)) {
        if (!data_(*d, text("INFOx0000000"), "request").done) return;
        continue;
      }
      static constexpr std::uint32_t SIZES[] = {0x10, 0x100, 0x600000};
      const std::uint32_t size = SIZES[draw(rng_, 0, 2)];
      char request[13];
      std::snprintf(request, sizeof request, "PARAx%07X", size);
      const round_trip rt = data_(*d, text(request), "request with a payload");
      if (!rt.done) return;
      if (rt.failed() || !rt.replies.empty()) continue;
      if (!data_(*d, bytes(size, 0xA5), "its payload").done) return;
    }
    if (!over_ && chance(rng_, 30)) to_legacy_(*d);
  }

  void close_() {
    if (devices_.empty()) return open_();
    auto it = devices_.begin();
    std::advance(it, draw(rng_, 0, static_cast<std::int64_t>(devices_.size()) - 1));
    const device d = it->second;
    devices_.erase(it);
    note_("CLOSE " + std::to_string(d.id));
    // A closing exchange waits for the scanner's answer for at most the
    // closing time.
    exchange_(frame(d.id, KIND_CLOSE, {}), d.peer, {}, lim_.closing_ms + lim_.margin_ms, "CLOSE");
  }

  // Part of a message, a pause, then the rest; or, when the pause outlasts
  // the client time-out, a driver that gives up and comes back.
  void partial_() {
    device* d = any_device_(true);
    const bytes message =
        d ? frame(d->id, KIND_DATA, {ESC, '@'})
          : frame(0, KIND_OPEN, text("net://127.0.0.1:" + std::to_string(shut_.port())));
    const auto cut =
        static_cast<std::size_t>(draw(rng_, 1, static_cast<std::int64_t>(message.size()) - 1));
    const bool gives_up = chance(rng_, 40);
    const int pause =
        gives_up ? static_cast<int>(draw(rng_, lim_.client_ms + 50, lim_.client_ms * 3 / 2))
                 : static_cast<int>(draw(rng_, 5, lim_.client_ms / 2));
    count_fault(gives_up ? "driver stalls mid-message and leaves" : "driver pauses mid-message");
    note_("the driver sends " + std::to_string(cut) + " bytes of a message and pauses " +
          std::to_string(pause) + " ms");
    if (!send_(bytes(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(cut)))) {
      return lost_link_("partial message");
    }
    std::this_thread::sleep_for(milliseconds(pause));
    if (gives_up) {
      link_.close();
      come_back_(now_ms(), static_cast<int>(devices_.size()), "leaving mid-message");
      return;
    }
    const bytes rest(message.begin() + static_cast<std::ptrdiff_t>(cut), message.end());
    if (d) {
      exchange_(rest, d->peer, {d->id}, data_bound_(), "the rest of a message");
    } else {
      exchange_(rest, nullptr, {0}, data_bound_(), "the rest of an OPEN");
    }
  }

  void leave_() {
    const std::int64_t how = draw(rng_, 0, 2);
    count_fault(how == 0   ? "driver leaves"
                : how == 1 ? "driver resets the link"
                           : "driver leaves mid-message");
    note_(how == 0   ? "the driver leaves"
          : how == 1 ? "the driver resets the link"
                     : "the driver leaves mid-message");
    if (how == 2) send_(bytes(static_cast<std::size_t>(draw(rng_, 1, 30)), 0));
    if (how == 1) {
      link_.reset();
    } else {
      link_.close();
    }
    come_back_(now_ms(), static_cast<int>(devices_.size()), "leaving");
  }

  // No device, no driver for a while: the port must take the driver back
  // whenever it comes.
  void idle_() {
    while (!devices_.empty() && !over_) close_();
    if (over_) return;
    link_.close();
    if (!come_back_(now_ms(), 0, "leaving") || over_) return;
    link_.close();
    std::this_thread::sleep_for(milliseconds(lim_.margin_ms));
    const int idle = static_cast<int>(draw(rng_, lim_.client_ms / 2, 2 * lim_.client_ms));
    count_fault("driver stays away");
    note_("the driver stays away for " + std::to_string(idle) + " ms");
    std::this_thread::sleep_for(milliseconds(idle));
    bool refused = false;
    if (!link_.connect(bridge_->port(), &refused)) {
      // A stop shuts the port a moment before the bridge has ended.
      if (bridge_->wait_end(lim_.margin_ms)) {
        over_ = true;
        return;
      }
      if (refused) violation_("an idle bridge refused the driver");
      come_back_(now_ms(), 0, "coming back after a refusal");
      return;
    }
    exchange_({}, nullptr, {}, -1, "back after idling");
  }

  void signal_() {
    if (signaller_.joinable()) return;
    static constexpr int SIGNALS[] = {SIGHUP, SIGHUP, SIGTERM, SIGINT};
    const int sig = SIGNALS[draw(rng_, 0, 3)];
    const int delay = static_cast<int>(draw(rng_, 0, 2 * lim_.scanner_ms));
    count_fault(sig == SIGHUP ? "SIGHUP" : sig == SIGTERM ? "SIGTERM" : "SIGINT");
    note_(std::string("a ") +
          (sig == SIGHUP    ? "SIGHUP"
           : sig == SIGTERM ? "SIGTERM"
                            : "SIGINT") +
          " in " + std::to_string(delay) + " ms");
    signal_kind_ = sig;
    signaller_ = std::thread([this, sig, delay] {
      std::this_thread::sleep_for(milliseconds(delay));
      bridge_->signal(sig);
    });
  }

  void fatal_() {
    device* d = any_device_(false);
    if (d == nullptr) return open_();
    if (!to_extended_(*d)) return;
    count_fault("driver sends a malformed extended request");
    note_("DATA to " + std::to_string(d->id) + ": a malformed extended request");
    const std::int64_t sent = now_ms();
    if (!send_(frame(d->id, KIND_DATA, text("INFOx00000zz"))))
      return lost_link_("malformed request");
    if (!bridge_->wait_end(lim_.scanner_ms + lim_.margin_ms + closing_bound_())) {
      // Not in extended mode after all (a legacy command of 12 bytes fails),
      // or an exit that takes too long, which the check below still sees.
      exchange_({}, nullptr, {d->id}, -1, "after a malformed request");
      if (!bridge_->wait_end(lim_.margin_ms) || bridge_->fatal().empty()) return;
    }
    over_ = true;
    // A stop that came meanwhile is judged by its own bound.
    if (bridge_->signalled_at() >= 0) return;
    const std::int64_t took = bridge_->ended_at() - sent;
    note_("the bridge ended: " + bridge_->fatal());
    if (bridge_->fatal().empty())
      violation_("a malformed request ended the bridge without its error");
    if (took > closing_bound_()) {
      violation_("the bridge took " + std::to_string(took) +
                 " ms to end after a malformed request (bound " + std::to_string(closing_bound_()) +
                 " ms)");
    }
  }

  void odd_data_() {
    const std::int64_t which = draw(rng_, 0, 1);
    device* d = any_device_(true);
    if (which == 0 || d == nullptr) {
      note_("DATA to a device that is not open");
      const round_trip rt = exchange_(frame(777, KIND_DATA, {ESC, '@'}), nullptr, {0},
                                      lim_.margin_ms, "DATA to no device");
      if (rt.done && (rt.replies.size() != 1 || rt.replies[0].status != FAILED ||
                      rt.replies[0].payload != bytes{NAK})) {
        violation_("DATA to no device did not get one NAK with status -1");
      }
      return;
    }
    // Unless a command left by a failure still waits for its reply.
    const bool clean = d->clean();
    const round_trip rt = data_(*d, {}, "empty DATA");
    if (rt.done && clean && !rt.replies.empty()) violation_("an empty DATA got a reply");
  }

  // --- the end -------------------------------------------------------------

  void finish_() {
    if (signaller_.joinable()) signaller_.join();
    if (!bridge_->ended() && bridge_->signalled_at() < 0) {
      signal_kind_ = SIGHUP;
      bridge_->signal(SIGHUP);
    }
    if (bridge_->signalled_at() >= 0 && bridge_->fatal().empty()) {
      // SIGTERM and SIGINT let the message in hand be served: from the later
      // of the signal and the last thing anyone did, a client wait or a
      // whole DATA may still run.
      const bool hangup = signal_kind_ == SIGHUP;
      const std::int64_t from =
          hangup ? bridge_->signalled_at() : std::max(bridge_->signalled_at(), latest_activity_());
      const int bound = closing_bound_() + (hangup ? 0 : std::max(lim_.client_ms, data_bound_()));
      bridge_->wait_end(
          static_cast<int>(std::max<std::int64_t>(0, from + bound + HARD_CAP_MS - now_ms())));
      if (!bridge_->ended()) {
        violation_("the bridge did not stop");
      } else if (bridge_->ended_at() - from > bound) {
        violation_("the bridge stopped " + std::to_string(bridge_->ended_at() - from) +
                   " ms after " + (hangup ? "a SIGHUP" : "a SIGTERM or SIGINT and the last act") +
                   " (bound " + std::to_string(bound) + " ms)");
      }
    }
    link_.close();
    if (!bridge_->wait_end(HARD_CAP_MS)) {
      // Unblock whatever holds it before the thread is joined.
      peers_.clear();
      bridge_->signal(SIGHUP);
      if (!bridge_->wait_end(HARD_CAP_MS)) throw std::runtime_error("the bridge is stuck for good");
    }
    bridge_.reset();
  }

  const std::uint64_t seed_;
  const std::int64_t began_ = now_ms();
  rng rng_;
  const limits lim_;
  int* baseline_fds_;
  std::vector<std::unique_ptr<scanner_peer>> peers_;
  std::unique_ptr<bridge_run> bridge_;
  driver_link link_;
  // By scanner index: at most one device per scanner.
  std::map<int, device> devices_;
  std::int64_t last_send_ = 0;
  // Bound, never listening: its port refuses every connection.
  harness_socket shut_;
  std::thread signaller_;
  int signal_kind_ = 0;
  bool over_ = false;
  // Counts the driver's comings back: a device of an earlier link is gone.
  std::uint64_t link_epoch_ = 0;
  scenario_result result_;
};

// write_replies straight onto a link whose driver stops reading for a
// while: whatever reaches the driver must be whole messages in order, with at
// most the last one cut short by the end of the link.
scenario_result link_scenario(std::uint64_t seed, const limits& lim) {
  scenario_result result;
  rng r(seed);
  result.steps = 1;
  harness_socket listener = harness_socket::listen_any(0);
  harness_socket driver = harness_socket::connect_to(listener.port(), CLIENT_RCVBUF);
  wait_fd(listener.fd(), POLLIN, HARD_CAP_MS);
  harness_socket bridge_end = listener.accept_one();
  // Room for a few replies only, as on a link whose driver reads slowly.
  const int sndbuf = 16384;
  ::setsockopt(bridge_end.fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  const int count = static_cast<int>(draw(r, 1, 40));
  chunk_queue queue;
  std::vector<std::size_t> sizes;
  for (int i = 0; i < count; ++i) {
    const auto size = static_cast<std::size_t>(draw(r, 0, 65536));
    byte_array b = new_bytes(size);
    std::memset(b.get(), i + 1, size);
    queue.push(std::move(b), static_cast<std::int64_t>(size));
    sizes.push_back(size);
  }
  const int c = lim.client_ms;
  const int stall = chance(r, 50) ? static_cast<int>(draw(r, 0, c / 2))
                                  : static_cast<int>(draw(r, c + 50, 2 * c - 50));
  count_fault("driver stops reading a batch of replies");
  result.record.push_back(std::to_string(count) + " replies; the driver stops reading for " +
                          std::to_string(stall) + " ms");
  std::vector<std::string> faults;
  std::thread reader([&] {
    std::this_thread::sleep_for(milliseconds(stall));
    bytes got;
    std::uint8_t buf[65536];
    for (;;) {
      if ((wait_fd(driver.fd(), POLLIN, HARD_CAP_MS) & (POLLIN | POLLHUP | POLLERR)) == 0) {
        faults.push_back("the link stayed open with nothing more to read");
        break;
      }
      const ssize_t n = ::recv(driver.fd(), buf, sizeof buf, 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    std::size_t at = 0;
    for (int i = 0; i < count && at < got.size(); ++i) {
      if (got.size() - at < LINK_HEADER_SIZE) return;  // cut short by the end
      const std::uint32_t length = get_be32(&got[at + 12]);
      if (get_be32(&got[at]) != 5 || get_be32(&got[at + 4]) != 0 || get_be32(&got[at + 8]) != 0 ||
          length != sizes[static_cast<std::size_t>(i)]) {
        faults.push_back("reply " + std::to_string(i) + " is not the one written");
        return;
      }
      at += LINK_HEADER_SIZE;
      const std::size_t here = std::min<std::size_t>(length, got.size() - at);
      if (std::any_of(got.begin() + static_cast<std::ptrdiff_t>(at),
                      got.begin() + static_cast<std::ptrdiff_t>(at + here),
                      [i](std::uint8_t b) { return b != static_cast<std::uint8_t>(i + 1); })) {
        faults.push_back("the payload of reply " + std::to_string(i) + " holds other bytes");
        return;
      }
      at += here;
    }
    if (at < got.size()) faults.push_back("bytes after the last reply");
  });
  const bool ok = write_replies(bridge_end.fd(), 5, 0, &queue, milliseconds(c));
  result.record.push_back(ok ? "written" : "the write failed; the link is over");
  bridge_end.close();
  reader.join();
  for (const std::string& f : faults) {
    result.violations.push_back("write_replies: " + f);
    result.record.push_back("VIOLATION: write_replies: " + f);
  }
  return result;
}

}  // namespace

scenario_result run_scenario(std::uint64_t seed, const limits& lim, int* baseline_fds) {
  rng r(derive(seed, 0));
  if (chance(r, 10)) return link_scenario(seed, lim);
  return scenario(seed, lim, baseline_fds).run();
}

}  // namespace scanbridge::chaos
