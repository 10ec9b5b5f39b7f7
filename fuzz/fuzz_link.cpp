// SPDX-License-Identifier: MIT
// Fuzz target for the client link: a byte stream from the client through
// the link reader and bridge::dispatch, with fake scanners behind the devices.
//
// Input: the bytes a client sends, framed or not. The harness walks the
// framing itself (16-byte header, the length in word 3, the payload) to know
// what read_message must return, and changes the stream in two ways before
// the bridge reads it:
// - the id 0xFFFFFFFF becomes 0xFFFFFFFE: the harness marks the end of the
//   replies to each message with a message of its own for that id;
// - a payload length above 1 MiB - 1 is folded below it (its low 20 bits):
//   read_message would allocate whatever the header says, up to 4 GiB, and
//   then only wait for bytes that never come;
// - an OPEN whose payload has an address (something after the first "//")
//   gets the address of the fake scanner instead, so that no OPEN ever tries
//   a real host (ten tries, 5.5 s of back-off). The bytes after "//" become
//   that device's scanner: the first byte picks the variant (bit 0: IS, else
//   NT), the scanner greets and opens the session properly, and then sends
//   the remaining bytes as they are, and nothing after them. A device that
//   reconnects later finds an NT scanner that greets and then says nothing.
//
// The stream goes through a pipe into read_message, one message at a time,
// as the main loop reads it, and each message to bridge::dispatch of one
// bridge that lives as long as the process; its client connection is read by
// a thread. At the end of the stream every device is closed, as the main loop
// does when the client goes away.
//
// Checked for every message: read_message returns exactly the message the
// framing gives (or -2 for a message cut short by the end of the stream);
// the replies are exactly those the device table owes: one reply to OPEN
// (the smallest free id and status 0 for an OPEN with an address, id 0 and
// status -1 otherwise), none to CLOSE, for DATA to an open device any number
// of replies all carrying its id and the same status 0 or -1, for DATA to
// any other id the NAK reply, for any other kind the failure reply with the
// message's id; every reply header has kind 0; the device table holds
// exactly the ids the replies announced and CLOSE did not take back. The only
// exception is the std::logic_error of a malformed extended request, which
// ends the run as it ends the bridge process. What the bridge sent each
// scanner is checked as in fuzz_scanner. Leaks are found by libFuzzer's leak
// check.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/link.h"
#include "fuzz/support/check.h"
#include "fuzz/support/fake_scanner.h"
#include "fuzz/support/input.h"
#include "fuzz/support/wire_check.h"
#include "wire/codes.h"

namespace scanbridge::fuzz {

namespace {

constexpr std::size_t INPUT_LIMIT = 64 << 10;
constexpr std::uint32_t LENGTH_MASK = (1u << 20) - 1;
// A message of an unknown kind for an id no device ever gets: its failure
// reply marks the end of the replies to the message before it.
constexpr std::uint32_t MARKER_ID = 0xFFFFFFFF;
constexpr std::uint32_t MARKER_KIND = 0xFFFFFFFF;
constexpr std::uint32_t FAILED = 0xFFFFFFFF;  // status -1 on the wire

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

struct message {
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  std::uint32_t status = 0;
  // The payload length in the header, folded.
  std::uint32_t length = 0;
  bytes payload;
  // False for the message the end of the stream cuts short; when even its
  // header is cut short, payload holds the header's first bytes.
  bool whole = true;
  bool header_cut = false;
  // OPEN only: the address was replaced, and this is its scanner.
  bool has_scanner = false;
  bytes script;
};

bytes greeting(bool is_variant) {
  // Header: magic, type 0x80, flag 0, reserved 0, size 12, length 3, 0 0;
  // payload: version 1.2, status 0.
  bytes b = {0, 0, 0x80, 0, 0, 12, 0, 0, 0, 3, 0, 0, 1, 2, 0};
  b[0] = is_variant ? 'I' : 'N';
  b[1] = is_variant ? 'S' : 'T';
  if (is_variant) {
    // The answer to the open request: 0xA1 with the single byte ACK.
    const bytes open_reply = {'I', 'S', 0xA1, 0, 0, 12, 0, 0, 0, 1, 0, 0, ACK};
    b.insert(b.end(), open_reply.begin(), open_reply.end());
  }
  return b;
}

// Splits the input into messages as read_message will, folds long lengths,
// and gives each OPEN with an address the fake scanner's address.
std::vector<message> frame(const std::uint8_t* data, std::size_t size,
                           const std::string& scanner_address) {
  std::vector<message> out;
  std::size_t at = 0;
  while (at < size) {
    message m;
    if (size - at < LINK_HEADER_SIZE) {
      m.whole = false;
      m.header_cut = true;
      m.payload.assign(data + at, data + size);
      out.push_back(std::move(m));
      break;
    }
    m.id = be32(data + at);
    // That id belongs to the harness's marker.
    if (m.id == MARKER_ID) m.id = MARKER_ID - 1;
    m.kind = be32(data + at + 4);
    m.status = be32(data + at + 8);
    m.length = be32(data + at + 12) & LENGTH_MASK;
    at += LINK_HEADER_SIZE;
    const std::size_t available = std::min<std::size_t>(m.length, size - at);
    m.payload.assign(data + at, data + at + available);
    at += available;
    m.whole = available == m.length;
    if (m.whole && m.kind == KIND_OPEN) {
      const std::string text(m.payload.begin(), m.payload.end());
      const std::size_t slashes = text.find("//");
      if (slashes != std::string::npos && slashes + 2 < text.size()) {
        const bytes tail(m.payload.begin() + static_cast<std::ptrdiff_t>(slashes + 2),
                         m.payload.end());
        m.script = greeting((tail[0] & 1) != 0);
        m.script.insert(m.script.end(), tail.begin() + 1, tail.end());
        m.has_scanner = true;
        m.payload.resize(slashes + 2);
        m.payload.insert(m.payload.end(), scanner_address.begin(), scanner_address.end());
        m.length = static_cast<std::uint32_t>(m.payload.size());
      }
    }
    out.push_back(std::move(m));
  }
  return out;
}

bytes encode(const std::vector<message>& messages) {
  bytes stream;
  for (const message& m : messages) {
    if (m.header_cut) {
      stream.insert(stream.end(), m.payload.begin(), m.payload.end());
      continue;
    }
    std::uint8_t header[LINK_HEADER_SIZE];
    put_be32(header, m.id);
    put_be32(header + 4, m.kind);
    put_be32(header + 8, m.status);
    put_be32(header + 12, m.length);
    stream.insert(stream.end(), header, header + LINK_HEADER_SIZE);
    stream.insert(stream.end(), m.payload.begin(), m.payload.end());
  }
  return stream;
}

struct reply {
  link_header header;
  bytes payload;
};

// Reads the bridge's replies off the client connection, on its own thread, so
// that the bridge never blocks writing them.
class reply_reader {
 public:
  explicit reply_reader(int fd) : fd_(fd), thread_([this] { run_(); }) {}
  ~reply_reader() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  reply_reader(const reply_reader&) = delete;
  reply_reader& operator=(const reply_reader&) = delete;

  // Every reply up to the marker's failure reply, which is taken too.
  std::vector<reply> until_marker() {
    std::unique_lock lock(mutex_);
    for (;;) {
      for (std::size_t i = 0; i < replies_.size(); ++i) {
        const link_header& h = replies_[i].header;
        if (h.id == MARKER_ID && h.kind == 0 && h.status == FAILED && h.length == 0) {
          std::vector<reply> out(std::make_move_iterator(replies_.begin()),
                                 std::make_move_iterator(replies_.begin() +
                                                         static_cast<std::ptrdiff_t>(i)));
          replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(i + 1));
          return out;
        }
      }
      FUZZ_CHECK(!closed_);
      arrived_.wait(lock);
    }
  }

 private:
  void run_() {
    bytes pending;
    std::uint8_t buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      // Acknowledge at once, so that the payload the bridge writes right
      // behind a header is never held back waiting for the acknowledgement.
      const int on = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      pending.insert(pending.end(), buf, buf + n);
      std::size_t used = 0;
      std::vector<reply> complete;
      while (pending.size() - used >= LINK_HEADER_SIZE) {
        const link_header h = link_header::decode(pending.data() + used);
        if (pending.size() - used - LINK_HEADER_SIZE < h.length) break;
        const auto* p = pending.data() + used + LINK_HEADER_SIZE;
        complete.push_back(reply{h, bytes(p, p + h.length)});
        used += LINK_HEADER_SIZE + h.length;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
      if (!complete.empty()) {
        const std::lock_guard lock(mutex_);
        for (reply& r : complete) replies_.push_back(std::move(r));
        arrived_.notify_all();
      }
    }
    const std::lock_guard lock(mutex_);
    closed_ = true;
    arrived_.notify_all();
  }

  int fd_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<reply> replies_;
  bool closed_ = false;
  std::thread thread_;
};

struct totals {
  std::size_t inputs = 0;
  std::size_t messages = 0;
  std::size_t opened = 0;
  std::size_t open_refused = 0;
  std::size_t closes = 0;
  std::size_t data_to_device = 0;
  std::size_t data_failed = 0;
  std::size_t data_unknown = 0;
  std::size_t other_kinds = 0;
  std::size_t replies = 0;
  std::size_t request_errors = 0;
  std::size_t cut_short = 0;
};
totals counts;
wire_totals wire;

void print_counts() {
  std::fprintf(stderr,
               "fuzz_link: %zu inputs, %zu messages (%zu cut short): %zu opened, %zu OPEN "
               "refused, %zu CLOSE, %zu DATA to a device (%zu failed), %zu DATA to no device, "
               "%zu other kinds; %zu replies, %zu request errors; %zu scanner connections, %zu "
               "packets sent\n",
               counts.inputs, counts.messages, counts.cut_short, counts.opened,
               counts.open_refused, counts.closes, counts.data_to_device, counts.data_failed,
               counts.data_unknown, counts.other_kinds, counts.replies, counts.request_errors,
               wire.connections, wire.packets);
}

// FUZZ_TRACE=1 in the environment prints every message and reply, for
// reading a crashing input.
bool tracing() {
  static const bool on = std::getenv("FUZZ_TRACE") != nullptr;
  return on;
}

// The process-wide pieces: the fake scanner, the bridge and the reader of its
// client connection. Destroyed in reverse order at exit.
struct world {
  fake_scanner peer;
  bridge the_bridge;
  std::unique_ptr<reply_reader> reader;

  world() {
    peer.set_fallback(greeting(false));
    FUZZ_CHECK(the_bridge.port() > 0);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd > 2);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(the_bridge.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
    reader = std::make_unique<reply_reader>(fd);
    // The first reply makes the bridge accept the connection.
    the_bridge.dispatch(MARKER_ID, MARKER_KIND, nullptr, 0);
    FUZZ_CHECK(reader->until_marker().empty());
  }
  ~world() { the_bridge.close_all(); }
};
world* the_world = nullptr;

std::uint32_t smallest_free(const std::set<std::uint32_t>& ids) {
  std::uint32_t id = 1;
  while (ids.contains(id)) ++id;
  return id;
}

void check_reply(const reply& r, std::uint32_t id, std::uint32_t status, std::size_t length) {
  FUZZ_CHECK(r.header.id == id);
  FUZZ_CHECK(r.header.kind == 0);
  FUZZ_CHECK(r.header.status == status);
  FUZZ_CHECK(r.payload.size() == length);
}

// Dispatches one message and checks its replies. False when the message ended
// the bridge (a malformed extended request).
bool dispatch_checked(world& w, std::set<std::uint32_t>& open, const message& m,
                      const std::uint8_t* payload, std::uint32_t length) {
  if (m.has_scanner) w.peer.queue_script(m.script);
  bool request_error = false;
  try {
    w.the_bridge.dispatch(m.id, m.kind, payload, length);
  } catch (const std::logic_error& e) {
    FUZZ_CHECK(is_request_error(e));
    request_error = true;
  }
  w.the_bridge.dispatch(MARKER_ID, MARKER_KIND, nullptr, 0);
  const std::vector<reply> replies = w.reader->until_marker();
  counts.replies += replies.size();
  if (tracing()) {
    std::fprintf(stderr, "  message id %u kind %u, %zu bytes%s: %zu replies%s\n", m.id, m.kind,
                 m.payload.size(), m.has_scanner ? " (scanner behind it)" : "", replies.size(),
                 request_error ? ", malformed request" : "");
    for (const reply& r : replies) {
      std::fprintf(stderr, "    reply id %u status %d, %u bytes\n", r.header.id,
                   static_cast<std::int32_t>(r.header.status), r.header.length);
    }
  }

  if (request_error) {
    FUZZ_CHECK(m.kind == KIND_DATA && open.contains(m.id));
    FUZZ_CHECK(replies.empty());
    ++counts.request_errors;
    return false;
  }
  switch (m.kind) {
    case KIND_OPEN:
      FUZZ_CHECK(replies.size() == 1);
      if (m.has_scanner) {
        const std::uint32_t id = smallest_free(open);
        check_reply(replies[0], id, 0, 0);
        open.insert(id);
        ++counts.opened;
      } else {
        check_reply(replies[0], 0, FAILED, 0);
        ++counts.open_refused;
      }
      break;
    case KIND_CLOSE:
      FUZZ_CHECK(replies.empty());
      open.erase(m.id);
      ++counts.closes;
      break;
    case KIND_DATA:
      if (open.contains(m.id)) {
        ++counts.data_to_device;
        if (replies.empty()) break;
        const std::uint32_t status = replies[0].header.status;
        FUZZ_CHECK(status == 0 || status == FAILED);
        if (status == FAILED) ++counts.data_failed;
        for (const reply& r : replies) check_reply(r, m.id, status, r.payload.size());
      } else {
        ++counts.data_unknown;
        FUZZ_CHECK(replies.size() == 1);
        check_reply(replies[0], 0, FAILED, 1);
        FUZZ_CHECK(replies[0].payload[0] == NAK);
      }
      break;
    default:
      ++counts.other_kinds;
      FUZZ_CHECK(replies.size() == 1);
      check_reply(replies[0], m.id, FAILED, 0);
      break;
  }

  // The table holds exactly the devices the replies announced.
  const device_table& devices = w.the_bridge.devices();
  FUZZ_CHECK(devices.size() == open.size());
  for (const auto& [id, session] : devices) {
    FUZZ_CHECK(open.contains(id));
    FUZZ_CHECK(session != nullptr);
  }
  return true;
}

void run(world& w, const std::uint8_t* data, std::size_t size) {
  const std::vector<message> messages = frame(data, size, w.peer.address());
  const bytes stream = encode(messages);

  int pipe_fds[2];
  FUZZ_CHECK(::pipe2(pipe_fds, O_CLOEXEC) == 0);
  // Room for the whole stream, so that writing it all first never blocks.
  FUZZ_CHECK(::fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20) >= static_cast<int>(stream.size()));
  std::size_t written = 0;
  while (written < stream.size()) {
    const ssize_t n = ::write(pipe_fds[1], stream.data() + written, stream.size() - written);
    FUZZ_CHECK(n > 0);
    written += static_cast<std::size_t>(n);
  }
  ::close(pipe_fds[1]);

  std::set<std::uint32_t> open;
  link_reader reader(pipe_fds[0], CLIENT_TIMEOUT);
  for (std::size_t i = 0;; ++i) {
    std::uint32_t id = 0;
    std::uint32_t kind = 0;
    payload_block payload;
    const std::int64_t n = reader.read_message(&id, &kind, &payload);
    if (i == messages.size() || !messages[i].whole) {
      // The end of the stream, between messages or inside one.
      FUZZ_CHECK(n == -2);
      if (i < messages.size()) ++counts.cut_short;
      break;
    }
    const message& m = messages[i];
    ++counts.messages;
    FUZZ_CHECK(n == static_cast<std::int64_t>(m.payload.size()));
    FUZZ_CHECK(id == m.id && kind == m.kind);
    if (n == 0) {
      FUZZ_CHECK(payload == nullptr);
    } else {
      FUZZ_CHECK(payload != nullptr);
      check_readable(payload.get(), static_cast<std::size_t>(n));
      FUZZ_CHECK(std::memcmp(payload.get(), m.payload.data(), m.payload.size()) == 0);
    }
    if (!dispatch_checked(w, open, m, payload.get(), static_cast<std::uint32_t>(n))) break;
  }
  ::close(pipe_fds[0]);

  // The client went away (or the bridge ended): every device is closed.
  w.the_bridge.close_all();
  FUZZ_CHECK(w.the_bridge.devices().empty());
  for (const connection_log& log : w.peer.finish()) {
    if (tracing()) std::fprintf(stderr, "  connection: the bridge sent %zu bytes\n", log.received.size());
    check_sent_packets(log, wire);
  }
}

}  // namespace

}  // namespace scanbridge::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace scanbridge::fuzz;
  static world w;
  the_world = &w;
  std::atexit(print_counts);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace scanbridge::fuzz;
  if (size > INPUT_LIMIT) return 0;
  ++counts.inputs;
  run(*the_world, data, size);
  return 0;
}
