// SPDX-License-Identifier: MIT
// Framing of the client link on real sockets, byte for byte: the reader,
// write_message and write_replies, and how their waits meet a stop.
#include "bridge/link.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/process.h"
#include "commands/chunk.h"
#include "net/wake.h"
#include "tests/support/child_process.h"
#include "tests/support/io.h"
#include "tests/support/link_client.h"
#include "tests/support/loopback.h"

namespace scanbridge {
namespace {

using testing::bytes;
using testing::hex;
using testing::link_message;
using testing::socket_pair;
using testing::text_bytes;
using testing::unhex;

// What one read_message call gave.
struct received {
  std::int64_t n = 0;
  std::uint32_t id = 0xEEEEEEEE;
  std::uint32_t kind = 0xEEEEEEEE;
  payload_block payload;
};

received receive(link_reader& reader) {
  received r;
  r.n = reader.read_message(&r.id, &r.kind, &r.payload);
  return r;
}

// One message from a reader of its own.
received receive(int fd) {
  link_reader reader(fd, CLIENT_TIMEOUT);
  return receive(reader);
}

// The first size bytes of a payload block, or nullopt for no block.
std::optional<bytes> block(const payload_block& p, std::size_t size) {
  if (!p) return std::nullopt;
  return bytes(p.get(), p.get() + size);
}

bytes prefix(const bytes& b, std::size_t n) {
  return bytes(b.begin(), b.begin() + n);
}

// ---------------------------------------------------------------------------
// Reassembly: the message reaches the reader in pieces, each only after the
// reader has consumed the one before, so every piece meets a waiting read.

struct piece_plan {
  const char* name;
  bytes message;
  std::vector<std::size_t> pieces;
  std::uint32_t id;
  std::uint32_t kind;
  bytes payload;
};

class ReadMessagePieces : public ::testing::TestWithParam<piece_plan> {};

TEST_P(ReadMessagePieces, AssemblesOneMessage) {
  const piece_plan& plan = GetParam();
  socket_pair s = testing::unix_socket_pair();
  bool all_consumed = true;
  std::thread writer([&] {
    std::size_t offset = 0;
    for (const std::size_t size : plan.pieces) {
      const bytes piece(plan.message.begin() + offset, plan.message.begin() + offset + size);
      offset += size;
      if (!testing::write_all(s.client.get(), piece)) all_consumed = false;
      if (offset < plan.message.size() &&
          !testing::wait_until([&] { return testing::pending_input(s.server.get()) == 0; })) {
        all_consumed = false;
      }
    }
  });
  const received r = receive(s.server.get());
  writer.join();

  EXPECT_TRUE(all_consumed) << "the reader stopped before the whole message";
  EXPECT_EQ(r.n, static_cast<std::int64_t>(plan.payload.size()));
  EXPECT_EQ(r.id, plan.id);
  EXPECT_EQ(r.kind, plan.kind);
  if (plan.payload.empty()) {
    EXPECT_FALSE(r.payload);
  } else {
    EXPECT_EQ(block(r.payload, plan.payload.size()), plan.payload);
  }
  EXPECT_EQ(testing::pending_input(s.server.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Plans, ReadMessagePieces,
                         ::testing::Values(piece_plan{"HeaderOneByteAtATime",
                                                      link_message(0x01020304, 0x0A0B0C0D),
                                                      std::vector<std::size_t>(16, 1),
                                                      0x01020304,
                                                      0x0A0B0C0D,
                                                      {}},
                                           piece_plan{"PayloadInPiecesOfTwoTwoOne",
                                                      link_message(1, 0, text_bytes("ABCDE")),
                                                      {16, 2, 2, 1},
                                                      1,
                                                      0,
                                                      text_bytes("ABCDE")},
                                           piece_plan{"PiecesAcrossHeaderAndPayload",
                                                      link_message(7, 4, text_bytes("x://a")),
                                                      {7, 10, 4},
                                                      7,
                                                      4,
                                                      text_bytes("x://a")}),
                         [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// The stream ending inside a message.

struct cut {
  const char* name;
  bytes sent;
  bool reset;  // a reset instead of an end of stream
  std::int64_t expected;
  std::optional<bytes> block;  // what the caller is handed
};

class ReadMessageCut : public ::testing::TestWithParam<cut> {};

TEST_P(ReadMessageCut, EndsWithTheResultAndHandsOverThePartialBlock) {
  const cut& row = GetParam();
  socket_pair s = testing::tcp_pair();
  ASSERT_TRUE(testing::write_all(s.client.get(), row.sent));
  if (row.reset) {
    // Let the bytes arrive first: they are read before the reset is seen.
    ASSERT_TRUE(testing::wait_until([&] {
      return testing::pending_input(s.server.get()) == static_cast<int>(row.sent.size());
    }));
    testing::reset_close(s.client);
  } else {
    s.client.reset();
  }

  const received r = receive(s.server.get());
  EXPECT_EQ(r.n, row.expected);
  EXPECT_EQ(block(r.payload, row.block ? row.block->size() : 0), row.block);
}

const bytes message_of_5 = link_message(2, 0, text_bytes("abcde"));

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadMessageCut,
    ::testing::Values(
        cut{"EndBeforeTheFirstByte", {}, false, -2, std::nullopt},
        cut{"EndAfterSevenHeaderBytes", prefix(message_of_5, 7), false, -2, std::nullopt},
        cut{"EndAfterAHeaderAnnouncingAPayload", prefix(message_of_5, 16), false, -2,
            unhex("00 00 00 00 00")},
        cut{"EndInThePayload", prefix(message_of_5, 18), false, -2, unhex("61 62 00 00 00")},
        cut{"ResetBeforeTheFirstByte", {}, true, -1, std::nullopt},
        cut{"ResetAfterSevenHeaderBytes", prefix(message_of_5, 7), true, -1, std::nullopt},
        cut{"ResetInThePayload", prefix(message_of_5, 18), true, -1, unhex("61 62 00 00 00")}),
    [](const auto& p) { return p.param.name; });

TEST(ReadMessage, EndRightAfterAWholeMessageComesWithTheNextRead) {
  socket_pair s = testing::tcp_pair();
  ASSERT_TRUE(testing::write_all(s.client.get(), link_message(6, 0)));
  s.client.reset();
  link_reader reader(s.server.get(), CLIENT_TIMEOUT);
  EXPECT_EQ(receive(reader).n, 0);
  EXPECT_EQ(receive(reader).n, -2);
}

TEST(ReadMessage, ReadErrorIsMinusOne) {
  EXPECT_EQ(receive(-1).n, -1);
}

// ---------------------------------------------------------------------------
// Header words

TEST(ReadMessage, DecodesBigEndianWordsAndLeavesThePayloadAloneForLengthZero) {
  socket_pair s = testing::unix_socket_pair();
  ASSERT_TRUE(
      testing::write_all(s.client.get(), unhex("01 02 03 04 A0 B0 C0 D0 00 00 00 00 00 00 00 00")));
  ASSERT_TRUE(testing::write_all(s.client.get(), link_message(9, 0)));

  link_reader reader(s.server.get(), CLIENT_TIMEOUT);
  const received r = receive(reader);
  EXPECT_EQ(r.n, 0);
  EXPECT_EQ(r.id, 0x01020304u);
  EXPECT_EQ(r.kind, 0xA0B0C0D0u);
  EXPECT_FALSE(r.payload);

  // A block the caller already holds is not touched either.
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  payload_block mine(static_cast<std::uint8_t*>(std::calloc(1, 1)));
  const std::uint8_t* const before = mine.get();
  EXPECT_EQ(reader.read_message(&id, &kind, &mine), 0);
  EXPECT_EQ(mine.get(), before);
  EXPECT_EQ(id, 9u);
}

TEST(ReadMessage, IgnoresWordTwoWhateverItHolds) {
  const std::vector<std::uint32_t> values = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x12345678};
  socket_pair s = testing::unix_socket_pair();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto id = static_cast<std::uint32_t>(i + 1);
    ASSERT_TRUE(
        testing::write_all(s.client.get(), link_message(id, 0, text_bytes("ok"), values[i])));
  }
  link_reader reader(s.server.get(), CLIENT_TIMEOUT);
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE("word 2 = " + std::to_string(values[i]));
    const received r = receive(reader);
    EXPECT_EQ(r.n, 2);
    EXPECT_EQ(r.id, i + 1);
    EXPECT_EQ(r.kind, 0u);
    EXPECT_EQ(block(r.payload, 2), text_bytes("ok"));
  }
}

TEST(ReadMessage, WithoutAPayloadDestinationFailsAndLeavesThePayloadUnread) {
  socket_pair s = testing::unix_socket_pair();
  ASSERT_TRUE(testing::write_all(s.client.get(), link_message(4, 0, text_bytes("xyz"))));
  link_reader reader(s.server.get(), CLIENT_TIMEOUT);
  std::uint32_t id = 0;
  std::uint32_t kind = 7;
  EXPECT_EQ(reader.read_message(&id, &kind, nullptr), -1);
  EXPECT_EQ(id, 4u);
  EXPECT_EQ(kind, 0u);
  // The payload is next in line: with 13 more bytes it begins a header.
  ASSERT_TRUE(testing::write_all(s.client.get(), bytes(13, 0)));
  EXPECT_EQ(reader.read_message(&id, &kind, nullptr), 0);
  EXPECT_EQ(id, 0x78797A00u);

  // A message without payload needs no destination.
  socket_pair t = testing::unix_socket_pair();
  ASSERT_TRUE(testing::write_all(t.client.get(), link_message(5, 5)));
  link_reader other(t.server.get(), CLIENT_TIMEOUT);
  EXPECT_EQ(other.read_message(&id, &kind, nullptr), 0);
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(kind, 5u);
}

// A payload that cannot be allocated fails its message but is read and
// dropped, so the next message begins at its own header. The reader runs in
// a child whose address space leaves no room for the payload.
TEST(ReadMessage, APayloadThatCannotBeAllocatedIsDroppedWhole) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address space limit";
#endif
  constexpr std::uint32_t TOO_LARGE = 256u << 20;
  socket_pair s = testing::unix_socket_pair();
  testing::child_process reader = testing::child_process::fork_running([&s] {
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t room = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64u << 20);
    const rlimit limit{room, room};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 2;
    // Where the limit does not bite (an emulator that reserved its address
    // space up front) there is nothing to test.
    if (void* probe = std::calloc(TOO_LARGE, 1)) {
      std::free(probe);
      return 3;
    }
    link_reader r(s.server.get(), CLIENT_TIMEOUT);
    const received big = receive(r);
    const received next = receive(r);
    return big.n == -1 && !big.payload && next.n == 3 && next.id == 6 &&
                   block(next.payload, 3) == text_bytes("end")
               ? 0
               : 1;
  });
  // The reader is the child's alone: once it is done, the writes below fail.
  s.server.reset();
  bytes header = link_message(5, 0);
  header[12] = TOO_LARGE >> 24;
  bool written = testing::write_all(s.client.get(), header);
  constexpr std::uint32_t PIECE = 1u << 20;
  const bytes piece(PIECE, 0);
  for (std::uint32_t sent = 0; written && sent < TOO_LARGE; sent += PIECE) {
    written = testing::write_all(s.client.get(), piece);
  }
  written = written && testing::write_all(s.client.get(), link_message(6, 0, text_bytes("end")));
  const testing::exit_status status = reader.wait_exit();
  if (status == testing::exited(3)) GTEST_SKIP() << "the address space limit does not bite here";
  EXPECT_TRUE(written);
  EXPECT_EQ(status, testing::exited(0));
}

// ---------------------------------------------------------------------------
// A stop that wakes the waits: only a SIGHUP ends the wait for a client
// message; any stop ends a wait for room to write.

// Plays the stop handler for the test and puts everything back afterwards.
class LinkStop : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(open_wake()); }
  void TearDown() override {
    stop_requested = 0;
    hangup_requested = 0;
    clear_wake();
  }
  static void stop(int signal) { stop_handler(signal); }
};

TEST_F(LinkStop, ASigtermLetsTheMessageInHandArriveAndASighupEndsTheWait) {
  socket_pair s = testing::unix_socket_pair();
  link_reader reader(s.server.get(), CLIENT_TIMEOUT);
  // The wake holds until it is taken, so the reader meets it in its first
  // wait, takes it and waits on.
  stop(SIGTERM);
  std::atomic<int> done{0};
  received first;
  received second;
  std::thread thread([&] {
    first = receive(reader);
    ++done;
    second = receive(reader);
  });
  ASSERT_TRUE(testing::wait_until([] { return !wake_pending(); }));
  ASSERT_TRUE(testing::write_all(s.client.get(), link_message(1, 0, text_bytes("ok"))));
  ASSERT_TRUE(testing::wait_until([&] { return done == 1; }));
  stop(SIGHUP);
  thread.join();

  EXPECT_EQ(first.n, 2);
  EXPECT_EQ(block(first.payload, 2), text_bytes("ok"));
  EXPECT_EQ(second.n, -1);
}

TEST_F(LinkStop, AnyStopEndsAWriteThatWaitsForRoom) {
  socket_pair s = testing::unix_socket_pair();
  // More than the socket holds, and the peer reads nothing: the write has to
  // wait for room, and meets the wake there.
  bytes payload(4 << 20, 0x5A);
  stop(SIGTERM);
  EXPECT_EQ(write_message(s.server.get(), 1, 0, static_cast<std::uint32_t>(payload.size()),
                          payload.data()),
            -1);
}

// ---------------------------------------------------------------------------
// Writing

struct reply_case {
  const char* name;
  std::uint32_t id;
  std::int32_t status;
  std::uint32_t length;
  std::optional<bytes> payload;
  std::int64_t result;
  const char* wire;  // everything the peer receives
};

class WriteMessageWire : public ::testing::TestWithParam<reply_case> {};

TEST_P(WriteMessageWire, SendsExactlyTheseBytes) {
  const reply_case& row = GetParam();
  socket_pair s = testing::tcp_pair();
  EXPECT_EQ(write_message(s.server.get(), row.id, row.status, row.length,
                          row.payload ? row.payload->data() : nullptr),
            row.result);
  s.server.reset();
  const bytes expected = unhex(row.wire);
  EXPECT_EQ(hex(testing::read_exact(s.client.get(), expected.size() + 1)), hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteMessageWire,
    ::testing::Values(reply_case{"FailedOpen", 0, -1, 0, std::nullopt, 0,
                                 "00 00 00 00 00 00 00 00 FF FF FF FF 00 00 00 00"},
                      reply_case{"DataReplyForDeviceOne", 1, 0, 2, unhex("1B 49"), 2,
                                 "00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 02 1B 49"},
                      reply_case{"Nak", 0, -1, 1, unhex("15"), 1,
                                 "00 00 00 00 00 00 00 00 FF FF FF FF 00 00 00 01 15"},
                      reply_case{"FailedDataReply", 3, -1, 3, unhex("01 02 03"), 3,
                                 "00 00 00 03 00 00 00 00 FF FF FF FF 00 00 00 03 01 02 03"},
                      reply_case{"BigEndianWords", 0x01020304, 0x0A0B0C0D, 1, unhex("EE"), 1,
                                 "01 02 03 04 00 00 00 00 0A 0B 0C 0D 00 00 00 01 EE"},
                      reply_case{"NegativeStatus", 5, -2, 0, std::nullopt, 0,
                                 "00 00 00 05 00 00 00 00 FF FF FF FE 00 00 00 00"},
                      reply_case{"LengthWithoutPayloadSendsTheHeaderOnly", 2, 0, 4, std::nullopt,
                                 -1, "00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 04"}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// A queue of replies

chunk_queue queue_of(const std::vector<std::optional<bytes>>& chunks) {
  chunk_queue q;
  for (const std::optional<bytes>& c : chunks) {
    if (!c) {
      q.push(nullptr, 0);  // an empty chunk may come without an array
      continue;
    }
    byte_array a = new_bytes(c->size());
    std::copy(c->begin(), c->end(), a.get());
    q.push(std::move(a), static_cast<std::int64_t>(c->size()));
  }
  return q;
}

struct replies_case {
  const char* name;
  std::uint32_t id;
  std::int32_t status;
  std::vector<std::optional<bytes>> chunks;
};

class WriteRepliesWire : public ::testing::TestWithParam<replies_case> {};

TEST_P(WriteRepliesWire, SendsOneMessagePerChunkInQueueOrderAndEmptiesTheQueue) {
  const replies_case& row = GetParam();
  socket_pair s = testing::tcp_pair();
  chunk_queue q = queue_of(row.chunks);
  bytes expected;
  for (const std::optional<bytes>& c : row.chunks) {
    const bytes one =
        link_message(row.id, 0, c.value_or(bytes{}), static_cast<std::uint32_t>(row.status));
    expected.insert(expected.end(), one.begin(), one.end());
  }

  bytes got;
  std::thread reader([&] { got = testing::read_exact(s.client.get(), expected.size() + 1); });
  EXPECT_TRUE(write_replies(s.server.get(), row.id, row.status, &q));
  s.server.reset();
  reader.join();
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(got.size(), expected.size()) << "and nothing after the replies";
  if (expected.size() <= 4096) {
    EXPECT_EQ(hex(got), hex(expected));  // readable when it differs
  } else {
    EXPECT_TRUE(got == expected);
  }
}

std::vector<std::optional<bytes>> numbered_chunks(std::size_t n) {
  std::vector<std::optional<bytes>> out;
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(bytes(i % 7, static_cast<std::uint8_t>(i)));
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRepliesWire,
    ::testing::Values(
        replies_case{"Nothing", 1, 0, {}},
        replies_case{"HeadAndRestOfAReply", 1, 0, {unhex("80 00 04 00"), unhex("01 02 03 04")}},
        replies_case{"FailedExchange", 2, -1, {unhex("15"), unhex("06")}},
        replies_case{"EmptyChunks", 3, 0, {std::nullopt, bytes{}, unhex("AA")}},
        replies_case{"MoreThanOneBatch", 4, 0, numbered_chunks(40)},
        replies_case{"LargeChunks", 5, 0, {bytes(3 << 20, 0x11), bytes(1 << 20, 0x22)}}),
    [](const auto& p) { return p.param.name; });

TEST(WriteReplies, ToAResetPeerFailsWithoutSigpipeAndStillEmptiesTheQueue) {
  testing::child_process child = testing::child_process::fork_running([] {
    signal(SIGPIPE, SIG_DFL);
    socket_pair s = testing::tcp_pair();
    testing::reset_close(s.client);
    if (!testing::wait_readable(s.server.get())) return 2;
    for (int i = 0; i < 3; ++i) {
      chunk_queue q = queue_of(numbered_chunks(20));
      if (write_replies(s.server.get(), 1, 0, &q)) return 3;
      if (!q.empty()) return 4;
    }
    return 0;
  });
  EXPECT_EQ(child.wait_exit(), testing::exited(0));
}

// A peer that has gone makes writes fail, and never raises SIGPIPE.
struct gone_peer {
  const char* name;
  bool tcp;  // a TCP peer that reset, else a Unix peer that closed
};

class WriteMessageToGonePeer : public ::testing::TestWithParam<gone_peer> {};

TEST_P(WriteMessageToGonePeer, FailsWithoutSigpipe) {
  const bool tcp = GetParam().tcp;
  // In a child with the default SIGPIPE disposition: a SIGPIPE shows in the
  // child's exit status instead of ending the test run.
  testing::child_process child = testing::child_process::fork_running([tcp] {
    signal(SIGPIPE, SIG_DFL);
    socket_pair s = tcp ? testing::tcp_pair() : testing::unix_socket_pair();
    if (tcp) {
      testing::reset_close(s.client);
      if (!testing::wait_readable(s.server.get())) return 2;  // the reset has arrived
    } else {
      s.client.reset();
    }
    const std::uint8_t nak = 0x15;
    // The first write meets the reset; the later ones a connection shut down.
    for (int i = 0; i < 3; ++i) {
      if (write_message(s.server.get(), 0, -1, 1, &nak) != -1) return 3;
    }
    return 0;
  });
  EXPECT_EQ(child.wait_exit(), testing::exited(0));
}

INSTANTIATE_TEST_SUITE_P(Peers, WriteMessageToGonePeer,
                         ::testing::Values(gone_peer{"TcpReset", true},
                                           gone_peer{"UnixClosed", false}),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace scanbridge
