// SPDX-License-Identifier: MIT
// Unit tests of the scanclient pieces that need no bridge: framing, the link
// over a socket pair with scripted replies, trace texts, the end-of-scan rule,
// the scan and probe sequences, the image files and the command line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef SCANCLIENT_WITH_PNG
#include <png.h>
#endif

#include "tools/common/scan_format.h"
#include "tools/common/unique_fd.h"
#include "tools/scanclient/bridge_link.h"
#include "tools/scanclient/bridge_process.h"
#include "tools/scanclient/device.h"
#include "tools/scanclient/image_file.h"
#include "tools/scanclient/link_message.h"
#include "tools/scanclient/open_failure.h"
#include "tools/scanclient/options.h"
#include "tools/scanclient/probe.h"
#include "tools/scanclient/progress.h"
#include "tools/scanclient/scan.h"
#include "tools/scanclient/scan_protocol.h"
#include "tools/scanclient/trace.h"

namespace scanbridge::tools {
namespace {

using bytes = std::vector<std::uint8_t>;

// The bridge's end of a socket pair. Replies are written before the client
// runs, so nothing waits on anything; afterwards the test reads what the
// client sent.
class scripted_bridge {
 public:
  scripted_bridge() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client_ = std::make_unique<bridge_link>(fds[0]);
    peer_ = std::make_unique<bridge_link>(fds[1]);
  }

  bridge_link* client() { return client_.get(); }

  void reply(std::uint32_t id, std::int32_t status, const bytes& payload) {
    link_header header;
    header.id = id;
    header.status = status;
    header.length = static_cast<std::uint32_t>(payload.size());
    const auto head = encode_header(header);
    write_raw(bytes(head.begin(), head.end()));
    write_raw(payload);
  }
  void ack(std::uint32_t id) { reply(id, 0, {ACK}); }

  void write_raw(const bytes& data) {
    if (data.empty()) return;
    ASSERT_EQ(::write(peer_->fd(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  // No more replies: the client sees end of stream after the scripted ones.
  void hang_up() { ::shutdown(peer_->fd(), SHUT_WR); }

  // Every message the client sent, in order.
  std::vector<link_message> sent() {
    ::shutdown(client_->fd(), SHUT_WR);  // end of stream for the reader below
    std::vector<link_message> messages;
    link_message message;
    while (peer_->receive(1000, {}, &message) == receive_status::OK) {
      messages.push_back(message);
    }
    return messages;
  }

 private:
  std::unique_ptr<bridge_link> client_;
  std::unique_ptr<bridge_link> peer_;
};

bytes data_block(std::size_t image_bytes, std::uint8_t first, std::uint8_t status) {
  bytes block(image_bytes + 1);
  for (std::size_t i = 0; i < image_bytes; ++i) {
    block[i] = static_cast<std::uint8_t>(first + i);
  }
  block[image_bytes] = status;
  return block;
}

// Replies of a device that accepts every scan parameter.
void accept_parameters(scripted_bridge* bridge, std::uint32_t id) {
  for (int i = 0; i < 8; ++i) bridge->ack(id);
}

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/scanclient_test_" +
         std::to_string(::getpid()) + "_" + name;
}

bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- framing

TEST(LinkMessage, HeaderIsFourBigEndianWords) {
  link_header header;
  header.id = 0x01020304;
  header.kind = KIND_OPEN;
  header.status = -1;
  header.length = 0x0A0B0C0D;
  const auto encoded = encode_header(header);
  const bytes expected = {0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x04,
                          0xFF, 0xFF, 0xFF, 0xFF, 0x0A, 0x0B, 0x0C, 0x0D};
  EXPECT_EQ(bytes(encoded.begin(), encoded.end()), expected);
  EXPECT_EQ(decode_header(encoded), header);
}

TEST(LinkMessage, RoundTripsEveryField) {
  for (const std::int32_t status : {0, -1, 1, 0x7FFFFFFF}) {
    link_header header;
    header.id = 7;
    header.kind = KIND_CLOSE;
    header.status = status;
    header.length = 123456;
    EXPECT_EQ(decode_header(encode_header(header)), header);
  }
}

TEST(LinkMessage, DataMessageCarriesItsPayload) {
  const bytes payload = {0x1B, 0x49};
  const bytes message = encode_message(KIND_DATA, 1, payload);
  const bytes expected = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0x1B, 0x49};
  EXPECT_EQ(message, expected);
}

TEST(LinkMessage, KindNames) {
  EXPECT_EQ(kind_name(KIND_DATA), "DATA");
  EXPECT_EQ(kind_name(KIND_OPEN), "OPEN");
  EXPECT_EQ(kind_name(KIND_CLOSE), "CLOSE");
  EXPECT_EQ(kind_name(9), "kind=9");
}

// ---- the link

TEST(BridgeLink, AssemblesAMessageWrittenInPieces) {
  scripted_bridge bridge;
  link_header header;
  header.id = 3;
  header.length = 5;
  const auto head = encode_header(header);
  for (const std::uint8_t byte : head) bridge.write_raw({byte});
  bridge.write_raw({1, 2});
  bridge.write_raw({3, 4});
  bridge.write_raw({5});
  link_message message;
  ASSERT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::OK);
  EXPECT_EQ(message.header.id, 3u);
  EXPECT_EQ(message.payload, (bytes{1, 2, 3, 4, 5}));
}

TEST(BridgeLink, EmptyReply) {
  scripted_bridge bridge;
  bridge.reply(2, 0, {});
  link_message message;
  message.payload = {9};
  ASSERT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::OK);
  EXPECT_EQ(message.header.id, 2u);
  EXPECT_TRUE(message.payload.empty());
}

TEST(BridgeLink, EndOfStreamInTheHeaderIsClosed) {
  scripted_bridge bridge;
  bridge.write_raw({0, 0, 0, 1, 0, 0, 0});
  bridge.hang_up();
  link_message message;
  EXPECT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::CLOSED);
  // The stream is out of step now; the link stays broken.
  EXPECT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::FAILED);
}

TEST(BridgeLink, EndOfStreamInThePayloadIsClosed) {
  scripted_bridge bridge;
  link_header header;
  header.length = 10;
  const auto head = encode_header(header);
  bridge.write_raw(bytes(head.begin(), head.end()));
  bridge.write_raw({1, 2, 3});
  bridge.hang_up();
  link_message message;
  EXPECT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::CLOSED);
}

TEST(BridgeLink, NothingToReadTimesOut) {
  scripted_bridge bridge;
  link_message message;
  EXPECT_EQ(bridge.client()->receive(1, {}, &message), receive_status::TIMEOUT);
}

TEST(BridgeLink, RefusesAHugeLength) {
  scripted_bridge bridge;
  link_header header;
  header.length = MAX_REPLY_PAYLOAD + 1;
  const auto head = encode_header(header);
  bridge.write_raw(bytes(head.begin(), head.end()));
  link_message message;
  EXPECT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::TOO_LARGE);
}

TEST(BridgeLink, InterruptCheckEndsTheWait) {
  scripted_bridge bridge;
  bridge.client()->set_interrupt_check([] { return true; });
  link_message message;
  EXPECT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::INTERRUPTED);
}

TEST(BridgeLink, SendsFramedMessages) {
  scripted_bridge bridge;
  const bytes uri = {'n', 'e', 't', ':', '/', '/', 'h'};
  ASSERT_TRUE(bridge.client()->send(KIND_OPEN, 0, uri));
  ASSERT_TRUE(bridge.client()->send(KIND_CLOSE, 4, {}));
  const std::vector<link_message> sent = bridge.sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].header.kind, KIND_OPEN);
  EXPECT_EQ(sent[0].payload, uri);
  EXPECT_EQ(sent[1].header.kind, KIND_CLOSE);
  EXPECT_EQ(sent[1].header.id, 4u);
  EXPECT_EQ(sent[1].header.length, 0u);
}

TEST(BridgeLink, SyncAnsweredFirstMeansNoAnswer) {
  scripted_bridge bridge;
  bridge.reply(SYNC_ID, -1, {});
  bridge.ack(1);
  link_message message;
  // 0: the sync goes out before the wait.
  EXPECT_EQ(bridge.client()->receive(1000, {}, &message, 0), receive_status::NO_ANSWER);
  // The link is still good.
  ASSERT_EQ(bridge.client()->receive(1000, {}, &message), receive_status::OK);
  EXPECT_EQ(message.payload, bytes{ACK});
  const std::vector<link_message> sent = bridge.sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header.kind, KIND_SYNC);
  EXPECT_EQ(sent[0].header.id, SYNC_ID);
  EXPECT_EQ(sent[0].header.length, 0u);
}

TEST(BridgeLink, AnswerToAnEarlierSyncIsSkipped) {
  scripted_bridge bridge;
  bridge_link* link = bridge.client();
  // The answer to the first DATA, then the answer to the sync sent while it
  // was awaited, then the answer to the second DATA.
  bridge.ack(1);
  bridge.reply(SYNC_ID, -1, {});
  bridge.reply(1, 0, {NAK});
  link_message message;
  ASSERT_TRUE(link->send(KIND_DATA, 1, bytes{ESC, '@'}));
  ASSERT_EQ(link->receive(1000, {}, &message, 0), receive_status::OK);
  EXPECT_EQ(message.payload, bytes{ACK});
  ASSERT_TRUE(link->send(KIND_DATA, 1, bytes{ESC, '@'}));
  ASSERT_EQ(link->receive(1000, {}, &message, 0), receive_status::OK);
  EXPECT_EQ(message.payload, bytes{NAK});
  std::vector<std::uint32_t> kinds;
  for (const link_message& m : bridge.sent()) kinds.push_back(m.header.kind);
  EXPECT_EQ(kinds, (std::vector<std::uint32_t>{KIND_DATA, KIND_SYNC, KIND_DATA, KIND_SYNC}));
}

TEST(BridgeLink, NoSyncBeforeTheQuietTimeHasPassed) {
  scripted_bridge bridge;
  link_message message;
  EXPECT_EQ(bridge.client()->receive(1, {}, &message, 1000), receive_status::TIMEOUT);
  EXPECT_TRUE(bridge.sent().empty());
}

// ---- trace texts

TEST(Trace, Hex) {
  EXPECT_EQ(hex_bytes(bytes{}), "");
  EXPECT_EQ(hex_bytes(bytes{0x1B, 0x49, 0x00, 0xFF}), "1B 49 00 FF");
  bytes long_block(100);
  for (std::size_t i = 0; i < long_block.size(); ++i) long_block[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(abbreviated_hex(long_block),
            "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ... "
            "5C 5D 5E 5F 60 61 62 63 (100 bytes)");
  EXPECT_EQ(abbreviated_hex(bytes(32, 0xAA)), hex_bytes(bytes(32, 0xAA)));
}

TEST(Trace, Text) {
  const std::string text = "AB\"\\";
  const bytes raw = {'A', 'B', '"', '\\', 0x01};
  EXPECT_EQ(quoted_text(raw), "\"AB\\\"\\\\\\x01\"");
  EXPECT_EQ(quoted_text(bytes{'a', 'b', 'c'}, 2), "\"ab\"...");
  EXPECT_TRUE(looks_like_text(bytes{'I', 'D', ' ', '1', 0, 0}));
  EXPECT_FALSE(looks_like_text(bytes{'I', 0x02, 'D'}));
  EXPECT_FALSE(looks_like_text(bytes{0, 0}));
}

TEST(Trace, Hexdump) {
  const bytes data = {'A', 'B', 0x00, 'C'};
  EXPECT_EQ(hexdump(data, "  "), "  0000  41 42 00 43" + std::string(47 - 11, ' ') + "  |AB.C|\n");
}

TEST(Trace, CommandNames) {
  EXPECT_EQ(describe_command(bytes{ESC, 'I'}), "ESC I (identity)");
  EXPECT_EQ(describe_command(bytes{FS, 'G'}), "FS G (start scan)");
  EXPECT_EQ(describe_command(bytes{ESC, 'C'}), "ESC C (colour mode)");
  EXPECT_EQ(describe_command(bytes{FS, 'X'}), "FS X (enter extended mode)");
  EXPECT_EQ(describe_command(bytes{ESC, 'q'}), "ESC q");
  EXPECT_EQ(describe_command(bytes{FF, 0x01}), "FF 0x01");
  EXPECT_EQ(describe_command(bytes{ACK}), "ACK");
  EXPECT_EQ(describe_command(bytes{CAN}), "CAN (cancel)");
  EXPECT_EQ(describe_command(bytes{ESC}), "ESC");
  EXPECT_EQ(describe_command(bytes{0x41, 0x42}), "");
  EXPECT_EQ(describe_command(bytes{1, 2, 3}), "");
}

TEST(Trace, SentLines) {
  link_header header;
  header.id = 1;
  EXPECT_EQ(format_sent(header, bytes{ESC, 'I'}, ""),
            "-> DATA id=1 len=2  1B 49  ESC I (identity)");
  EXPECT_EQ(format_sent(header, bytes{ACK}, "ACK (next block)"),
            "-> DATA id=1 len=1  06  ACK (next block)");
  header.kind = KIND_CLOSE;
  EXPECT_EQ(format_sent(header, bytes{}, ""), "-> CLOSE id=1 len=0");
  header.kind = KIND_OPEN;
  header.id = 0;
  const std::string uri = "net://127.0.0.1:5000";
  EXPECT_EQ(format_sent(header, bytes(uri.begin(), uri.end()), ""),
            "-> OPEN id=0 len=20  \"net://127.0.0.1:5000\"");
}

TEST(Trace, ReceivedLines) {
  link_header header;
  header.id = 1;
  info_block info;
  info.block_size = 65536;
  info.block_count = 3;
  info.last_block_size = 1234;
  const bytes encoded = encode_info_block(info);
  header.length = static_cast<std::uint32_t>(encoded.size());
  EXPECT_EQ(format_received(header, encoded, {reply_kind::INFO_BLOCK, ""}),
            "<- reply id=1 status=0 len=14  02 00 00 00 01 00 03 00 00 00 D2 04 00 00  "
            "info block: status=0x00 block_size=65536 count=3 last=1234 (197842 image bytes)");

  const bytes ack = {ACK};
  header.length = 1;
  EXPECT_EQ(format_received(header, ack, {reply_kind::ANSWER, "ESC C"}),
            "<- reply id=1 status=0 len=1  06  ESC C: ACK");

  const bytes head = {STX, 0x00, 0x10, 0x00};
  header.length = 4;
  EXPECT_EQ(format_received(header, head, {reply_kind::VAR_HEAD, "head"}),
            "<- reply id=1 status=0 len=4  02 00 10 00  head: STX status=0x00 length=16");

  const bytes block = data_block(3, 0x10, 0x00);
  header.length = 4;
  EXPECT_EQ(format_received(header, block, {reply_kind::DATA_BLOCK, "block 2/5"}),
            "<- reply id=1 status=0 len=4  10 11 12 00  block 2/5: 3 image bytes, status 0x00");

  link_header nak;
  nak.status = -1;
  nak.length = 1;
  EXPECT_EQ(format_received(nak, bytes{NAK}, {}),
            "<- reply id=0 status=-1 len=1  15  NAK from the bridge: no such device open");

  link_header failed_open;
  failed_open.status = -1;
  EXPECT_EQ(format_received(failed_open, bytes{}, {reply_kind::OPEN, ""}),
            "<- reply id=0 status=-1 len=0  open failed");
}

// ---- scan protocol

TEST(ScanProtocol, InfoBlockRoundTrip) {
  const bytes raw = {0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02,
                     0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  info_block info;
  ASSERT_TRUE(parse_info_block(raw, &info));
  EXPECT_EQ(info.block_size, 512u);
  EXPECT_EQ(info.block_count, 2u);
  EXPECT_EQ(info.last_block_size, 256u);
  EXPECT_EQ(info.total_bytes(), 1280u);
  EXPECT_FALSE(info.refused());
  EXPECT_EQ(encode_info_block(info), raw);

  bytes bad = raw;
  bad[0] = 0x03;
  EXPECT_FALSE(parse_info_block(bad, &info));
  EXPECT_FALSE(parse_info_block(bytes(raw.begin(), raw.end() - 1), &info));
  bytes refused = raw;
  refused[1] = 0x40;
  ASSERT_TRUE(parse_info_block(refused, &info));
  EXPECT_TRUE(info.refused());
}

TEST(ScanProtocol, VarHead) {
  var_head head;
  ASSERT_TRUE(parse_var_head(bytes{STX, 0x80, 0x34, 0x12}, &head));
  EXPECT_EQ(head.status, 0x80);
  EXPECT_EQ(head.length, 0x1234);
  EXPECT_FALSE(parse_var_head(bytes{0x06, 0, 0, 0}, &head));
  EXPECT_FALSE(parse_var_head(bytes{STX, 0, 0}, &head));
}

TEST(ScanProtocol, ParameterBlocksAreLittleEndian) {
  EXPECT_EQ(colour_parameters(true), bytes{COLOUR_RGB});
  EXPECT_EQ(colour_parameters(false), bytes{COLOUR_GREY});
  EXPECT_EQ(depth_parameters(8), bytes{8});
  EXPECT_EQ(resolution_parameters(300, 600), (bytes{0x2C, 0x01, 0x58, 0x02}));
  EXPECT_EQ(area_parameters(1, 2, 1700, 2200), (bytes{1, 0, 2, 0, 0xA4, 0x06, 0x98, 0x08}));
}

info_block blocks_of(std::uint32_t size, std::uint32_t count, std::uint32_t last) {
  info_block info;
  info.block_size = size;
  info.block_count = count;
  info.last_block_size = last;
  return info;
}

TEST(EndOfScan, CountRunsOutOnTheLastBlock) {
  block_tracker tracker(blocks_of(512, 2, 256));
  EXPECT_EQ(tracker.blocks_announced(), 3u);
  EXPECT_EQ(tracker.next(513, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(513, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(257, 0), block_verdict::LAST);
  EXPECT_EQ(tracker.blocks_seen(), 3u);
}

TEST(EndOfScan, StatusWithBit4KeepsTheScanGoing) {
  block_tracker tracker(blocks_of(512, 2, 256));
  EXPECT_EQ(tracker.next(513, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(513, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(257, 0x10), block_verdict::MORE);
}

TEST(EndOfScan, OtherNonZeroStatusEndsAtOnce) {
  block_tracker first(blocks_of(512, 2, 256));
  EXPECT_EQ(first.next(513, 0x80), block_verdict::LAST);
  block_tracker bit5(blocks_of(512, 2, 256));
  EXPECT_EQ(bit5.next(513, 0x20), block_verdict::LAST);
  block_tracker bits54(blocks_of(512, 2, 256));
  EXPECT_EQ(bits54.next(513, 0x30), block_verdict::MORE);  // bit 5 does not matter
  block_tracker bit4and7(blocks_of(512, 2, 256));
  EXPECT_EQ(bit4and7.next(513, 0x90), block_verdict::LAST);
}

TEST(EndOfScan, EqualSizesAreToldApartByTheCount) {
  block_tracker tracker(blocks_of(100, 2, 100));
  EXPECT_EQ(tracker.next(101, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(101, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(101, 0), block_verdict::LAST);
}

TEST(EndOfScan, SingleBlockScan) {
  block_tracker tracker(blocks_of(4096, 0, 300));
  EXPECT_EQ(tracker.next(301, 0), block_verdict::LAST);
}

TEST(EndOfScan, AFullBlockAfterTheCountRanOutGoesOn) {
  block_tracker tracker(blocks_of(512, 1, 256));
  EXPECT_EQ(tracker.next(513, 0), block_verdict::MORE);
  EXPECT_EQ(tracker.next(513, 0), block_verdict::MORE);  // count wraps, as on the bridge
}

TEST(EndOfScan, WrongSizeIsNoBlock) {
  block_tracker tracker(blocks_of(512, 2, 256));
  EXPECT_EQ(tracker.next(512, 0), block_verdict::WRONG_SIZE);
  EXPECT_EQ(tracker.next(0, 0), block_verdict::WRONG_SIZE);
  EXPECT_EQ(tracker.blocks_seen(), 0u);
}

// ---- the scan sequence

constexpr std::uint32_t kDevice = 1;

// Opens device 1 on a scripted bridge whose first reply is the OPEN answer.
std::unique_ptr<device> open_device(scripted_bridge* bridge) {
  bridge->reply(kDevice, 0, {});
  auto scanner = std::make_unique<device>(bridge->client(), 1000);
  EXPECT_TRUE(scanner->open("net://127.0.0.1:5000").is_ok());
  return scanner;
}

scan_settings small_scan(std::uint32_t width, std::uint32_t height, bool colour) {
  scan_settings settings;
  settings.geometry.width = width;
  settings.geometry.height = height;
  settings.geometry.colour = colour;
  settings.resolution = 300;
  return settings;
}

std::vector<bytes> payloads(const std::vector<link_message>& messages) {
  std::vector<bytes> out;
  for (const link_message& message : messages) out.push_back(message.payload);
  return out;
}

TEST(Scan, SetsParametersAndAcknowledgesEveryBlockButTheLast) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  // 4x3 RGB = 36 bytes: two blocks of 16, a last block of 4.
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 2, 4)));
  bridge.reply(kDevice, 0, data_block(16, 0, 0));
  bridge.reply(kDevice, 0, data_block(16, 16, 0));
  bridge.reply(kDevice, 0, data_block(4, 32, 0));

  std::vector<std::uint64_t> progress;
  scan_hooks hooks;
  hooks.progress = [&progress](std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, 36u);
    progress.push_back(done);
  };
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), hooks, &report);
  ASSERT_TRUE(scanned.is_ok()) << scanned.message();
  EXPECT_EQ(report.received, 36u);
  EXPECT_EQ(report.blocks, 3u);
  bytes expected(36);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(report.image, expected);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{16, 32, 36}));

  scanner.reset();  // CLOSE
  const std::vector<link_message> sent = bridge.sent();
  const std::vector<bytes> expected_payloads = {
      {'n', 'e', 't', ':', '/', '/', '1', '2', '7', '.',
       '0', '.', '0', '.', '1', ':', '5', '0', '0', '0'},
      {ESC, 'C'},
      {COLOUR_RGB},
      {ESC, 'D'},
      {8},
      {ESC, 'R'},
      {0x2C, 0x01, 0x2C, 0x01},
      {ESC, 'A'},
      {0, 0, 0, 0, 4, 0, 3, 0},
      {FS, 'G'},
      {ACK},
      {ACK},
      {},
  };
  EXPECT_EQ(payloads(sent), expected_payloads);
  ASSERT_EQ(sent.size(), expected_payloads.size());
  EXPECT_EQ(sent.front().header.kind, KIND_OPEN);
  for (std::size_t i = 1; i + 1 < sent.size(); ++i) {
    EXPECT_EQ(sent[i].header.kind, KIND_DATA);
    EXPECT_EQ(sent[i].header.id, kDevice);
  }
  EXPECT_EQ(sent.back().header.kind, KIND_CLOSE);
  EXPECT_EQ(sent.back().header.id, kDevice);
}

TEST(Scan, EscGStartsTheScanWhenAsked) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(8, 0, 4)));
  bridge.reply(kDevice, 0, data_block(4, 0, 0));
  scan_settings settings = small_scan(2, 2, false);
  settings.esc_g = true;
  scan_report report;
  ASSERT_TRUE(run_scan(scanner.get(), settings, {}, &report).is_ok());
  const std::vector<link_message> sent = bridge.sent();
  ASSERT_EQ(sent.size(), 10u);
  EXPECT_EQ(sent[9].payload, (bytes{ESC, 'G'}));
}

TEST(Scan, CancelSendsCanAndWaitsForTheAck) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 2, 4)));
  bridge.reply(kDevice, 0, data_block(16, 0, 0));
  bridge.ack(kDevice);  // the answer to CAN

  bool cancel = false;
  scan_hooks hooks;
  hooks.cancel_requested = [&cancel] { return cancel; };
  hooks.progress = [&cancel](std::uint64_t, std::uint64_t) { cancel = true; };
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), hooks, &report);
  EXPECT_TRUE(scanned.is_cancelled());
  EXPECT_EQ(scanned.message(), "scan cancelled after 16 of 36 bytes");

  const std::vector<link_message> sent = bridge.sent();
  ASSERT_EQ(sent.size(), 11u);
  EXPECT_EQ(sent[9].payload, (bytes{FS, 'G'}));
  EXPECT_EQ(sent[10].payload, bytes{CAN});
}

TEST(Scan, CancelBeforeTheScanSendsNoScanCommand) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  scan_hooks hooks;
  hooks.cancel_requested = [] { return true; };
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), hooks, &report);
  EXPECT_TRUE(scanned.is_cancelled());
  EXPECT_EQ(bridge.sent().size(), 1u);  // OPEN only
}

TEST(Scan, NakToAParameterIsARefusal) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  bridge.ack(kDevice);              // ESC C
  bridge.ack(kDevice);              // colour block
  bridge.ack(kDevice);              // ESC D
  bridge.reply(kDevice, 0, {NAK});  // depth block
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  ASSERT_FALSE(scanned.is_ok());
  EXPECT_EQ(scanned.message(), "scanner refused bit depth 8 (NAK to ESC D parameters)");
}

TEST(Scan, NakToTheCommandIsARefusalToo) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  bridge.reply(kDevice, 0, {NAK});
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, false), {}, &report);
  EXPECT_EQ(scanned.message(), "scanner refused colour mode grey (NAK to ESC C)");
}

TEST(Scan, RefusedScan) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  info_block refused = blocks_of(16, 2, 4);
  refused.status = 0x80;
  bridge.reply(kDevice, 0, encode_info_block(refused));
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(), "scanner refused the scan: information block status 0x80");
}

TEST(Scan, NakInsteadOfTheInformationBlock) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, {NAK});
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(), "scanner refused the scan (NAK to FS G)");
}

TEST(Scan, SizeMismatchIsReported) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 1, 4)));
  bridge.reply(kDevice, 0, data_block(16, 0, 0));
  bridge.reply(kDevice, 0, data_block(4, 16, 0));
  std::vector<std::string> warnings;
  scan_hooks hooks;
  hooks.warn = [&warnings](const std::string& text) { warnings.push_back(text); };
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), hooks, &report);
  EXPECT_EQ(scanned.message(), "image size mismatch: received 20 bytes, but 4x3 RGB is 36 bytes");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0],
            "the scanner announces 20 image bytes (1 blocks of 16 and a last block of 4), but "
            "4x3 RGB is 36 bytes");
}

TEST(Scan, ErrorStatusEndsTheScan) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 2, 4)));
  bridge.reply(kDevice, 0, data_block(16, 0, 0x80));
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(), "scanner reported an error: block status 0x80 after 16 of 36 bytes");
}

TEST(Scan, FailedExchangeMidScanIsALostConnection) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 2, 4)));
  bridge.reply(kDevice, 0, data_block(16, 0, 0));
  bridge.reply(kDevice, -1, data_block(16, 16, 0));
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(),
            "connection to the scanner lost mid-scan (reply status -1) after 16 of 36 bytes");
}

TEST(Scan, BridgeHangingUpMidScan) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 2, 4)));
  bridge.reply(kDevice, 0, data_block(16, 0, 0));
  bridge.hang_up();
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(),
            "connection to the bridge lost: the bridge closed it (waiting for data block 2/3) "
            "after 16 of 36 bytes");
}

TEST(Scan, BlockOfAnUnannouncedSize) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  accept_parameters(&bridge, kDevice);
  bridge.reply(kDevice, 0, encode_info_block(blocks_of(16, 2, 4)));
  bridge.reply(kDevice, 0, data_block(10, 0, 0));
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(),
            "unexpected reply mid-scan: 11 bytes where a data block of 17 or 5 bytes was due, "
            "after 0 of 36 bytes");
}

TEST(Scan, ReplyForAnotherDevice) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  bridge.reply(0, -1, {NAK});
  scan_report report;
  const outcome scanned = run_scan(scanner.get(), small_scan(4, 3, true), {}, &report);
  EXPECT_EQ(scanned.message(),
            "the bridge has no device 1 open (it answered NAK) (waiting for the answer to ESC C)");
}

TEST(Device, FailedOpen) {
  scripted_bridge bridge;
  bridge.reply(0, -1, {});
  device scanner(bridge.client(), 1000);
  const outcome opened = scanner.open("net://192.0.2.1");
  EXPECT_EQ(opened.message(),
            "cannot open device net://192.0.2.1: the bridge could not connect to the scanner");
  EXPECT_FALSE(scanner.is_open());
}

TEST(Device, TimeoutNamesWhatWasAwaited) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  link_message reply;
  const outcome received = scanner->receive({}, "the answer to ESC F", &reply, 1);
  EXPECT_EQ(received.message(),
            "no reply from the bridge within 0.001 s (waiting for the answer to ESC F)");
  EXPECT_EQ(scanner->last_receive(), receive_status::TIMEOUT);
}

TEST(Device, SilentBridgeIsNoAnswer) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  scanner->set_sync_after(0);
  bridge.reply(SYNC_ID, -1, {});
  ASSERT_TRUE(scanner->send(bytes{ESC, 'F'}).is_ok());
  link_message reply;
  const outcome received = scanner->receive({}, "the answer to ESC F", &reply);
  EXPECT_EQ(received.message(),
            "the bridge sent no answer: its exchange with the scanner failed (waiting for the "
            "answer to ESC F)");
  EXPECT_EQ(scanner->last_receive(), receive_status::NO_ANSWER);
}

// ---- the probe

bytes filled(std::size_t size, std::uint8_t value) {
  return bytes(size, value);
}

TEST(Probe, AsksIdentityAndStatus) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  bridge.reply(kDevice, 0, {STX, 0x00, 0x04, 0x00});
  bridge.reply(kDevice, 0, {'S', 'C', '0', '1'});
  bridge.reply(kDevice, 0, {STX, 0x00, 0x00, 0x00});
  bridge.reply(kDevice, 0, filled(64, 0x11));
  bridge.reply(kDevice, 0, filled(80, 0x22));

  probe_report report;
  std::vector<std::string> seen;
  const outcome probed =
      run_probe(scanner.get(), 1000, &report,
                [&seen](const probe_result& result) { seen.push_back(result.query.name); });
  ASSERT_TRUE(probed.is_ok()) << probed.message();
  EXPECT_EQ(seen, (std::vector<std::string>{"identity", "status", "FS S", "FS I"}));
  ASSERT_EQ(report.results.size(), 4u);
  for (const probe_result& result : report.results) {
    EXPECT_EQ(result.result, probe_result::state::ANSWERED) << result.query.name;
  }
  EXPECT_EQ(report.results[0].replies.size(), 2u);
  EXPECT_EQ(variant_verdict(report), "");  // the answers prove nothing

  const std::vector<std::string> identity = format_probe_result(report.results[0], 10);
  ASSERT_EQ(identity.size(), 2u);
  EXPECT_EQ(identity[0].rfind("identity  ESC I (identity)  head 02 00 04 00 (STX, status 0x00, "
                              "4 bytes)  [",
                              0),
            0u)
      << identity[0];
  EXPECT_EQ(identity[1], "          data 53 43 30 31");
  const std::vector<std::string> status = format_probe_result(report.results[1], 10);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].rfind("status    ESC F (status)  02 00 00 00  [", 0), 0u) << status[0];
  EXPECT_EQ(format_probe_result(report.results[2], 10).size(), 1u + 4u);  // line and dump

  scanner.reset();
  const std::vector<bytes> sent = payloads(bridge.sent());
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[1], (bytes{ESC, 'I'}));
  EXPECT_EQ(sent[2], (bytes{ESC, 'F'}));
  EXPECT_EQ(sent[3], (bytes{FS, 'S'}));
  EXPECT_EQ(sent[4], (bytes{FS, 'I'}));
}

TEST(Probe, UnansweredOptionalQueryEndsTheQuestions) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  bridge.reply(kDevice, 0, {STX, 0x00, 0x00, 0x00});
  bridge.reply(kDevice, 0, {});
  bridge.reply(kDevice, 0, {STX, 0x00, 0x00, 0x00});
  probe_report report;
  const outcome probed = run_probe(scanner.get(), 1, &report);
  EXPECT_TRUE(probed.is_ok()) << probed.message();
  ASSERT_EQ(report.results.size(), 4u);
  EXPECT_EQ(report.results[2].result, probe_result::state::NO_ANSWER);
  EXPECT_EQ(report.results[2].note, "no answer within 0.001 s");
  EXPECT_EQ(report.results[3].result, probe_result::state::SKIPPED);
  EXPECT_EQ(variant_verdict(report), "");  // the answers prove nothing
  EXPECT_EQ(format_probe_result(report.results[3], 10)[0],
            "FS I      FS I (scanner information)  skipped: not asked after the query before it "
            "went wrong");
}

// An IS session asks for exactly 64 and 80 bytes; NT passes any size on.
TEST(Probe, VariantVerdictClaimsOnlyWhatTheSizesProve) {
  struct row {
    std::size_t fs_s;
    std::size_t fs_i;
    const char* verdict;
  };
  const row rows[] = {
      {64, 80, ""},  // nothing said: the probe ends on what it knows
      {16, 80, "NT: FS S answered with 16 bytes (IS gives 64)"},
      {1, 1,
       "NT: FS S answered with 1 byte (IS gives 64), FS I answered with 1 byte (IS gives 80)"},
  };
  for (const row& r : rows) {
    probe_report report;
    for (const auto& [name, size] : {std::pair{"FS S", r.fs_s}, std::pair{"FS I", r.fs_i}}) {
      probe_result result;
      result.query.name = name;
      result.result = probe_result::state::ANSWERED;
      result.replies.push_back({{}, filled(size, 0)});
      report.results.push_back(result);
    }
    EXPECT_EQ(variant_verdict(report), r.verdict);
  }
}

TEST(Probe, FailedIdentityFailsTheProbe) {
  scripted_bridge bridge;
  std::unique_ptr<device> scanner = open_device(&bridge);
  bridge.reply(kDevice, -1, {STX, 0x00, 0x00, 0x00});
  probe_report report;
  const outcome probed = run_probe(scanner.get(), 1000, &report);
  EXPECT_EQ(probed.message(), "identity (ESC I (identity)): the exchange failed (reply status -1)");
  EXPECT_EQ(report.results[0].result, probe_result::state::FAILED);
  EXPECT_EQ(report.results[1].result, probe_result::state::SKIPPED);
}

// ---- image files

#ifdef SCANCLIENT_WITH_PNG
std::string write_and_read_png(const scan_geometry& geometry, const bytes& pixels,
                               bytes* read_back) {
  const std::string path = temp_path(geometry.colour ? "rgb.png" : "grey.png");
  const outcome written = write_image(path, image_format::PNG, geometry, 300, pixels);
  if (!written.is_ok()) return written.message();
  // The resolution, in pixels per metre both ways, in the pHYs chunk.
  const bytes file = read_file(path);
  const bytes phys = {0, 0, 0, 9, 'p', 'H', 'Y', 's', 0, 0, 0x2E, 0x23, 0, 0, 0x2E, 0x23, 1};
  if (std::search(file.begin(), file.end(), phys.begin(), phys.end()) != file.begin() + 33) {
    return "no pHYs chunk of 11811 pixels per metre after IHDR";
  }

  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return image.message;
  std::string problem;
  if (image.width != geometry.width || image.height != geometry.height) problem = "wrong size";
  if ((image.format & PNG_FORMAT_FLAG_COLOR) != (geometry.colour ? PNG_FORMAT_FLAG_COLOR : 0u)) {
    problem = "wrong colour type";
  }
  image.format = geometry.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  read_back->assign(PNG_IMAGE_SIZE(image), 0);
  if (png_image_finish_read(&image, nullptr, read_back->data(), 0, nullptr) == 0) {
    problem = image.message;
  }
  png_image_free(&image);
  std::remove(path.c_str());
  return problem;
}

#endif  // SCANCLIENT_WITH_PNG

bytes pattern(const scan_geometry& geometry) {
  bytes pixels;
  for (std::uint32_t y = 0; y < geometry.height; ++y) {
    for (std::uint32_t x = 0; x < geometry.width; ++x) {
      for (std::uint32_t c = 0; c < geometry.channels(); ++c) {
        pixels.push_back(test_pattern(geometry, x, y, c));
      }
    }
  }
  return pixels;
}

#ifdef SCANCLIENT_WITH_PNG
TEST(ImageFile, PngRoundTrip) {
  for (const bool colour : {false, true}) {
    scan_geometry geometry;
    geometry.width = 37;
    geometry.height = 23;
    geometry.colour = colour;
    const bytes pixels = pattern(geometry);
    bytes read_back;
    EXPECT_EQ(write_and_read_png(geometry, pixels, &read_back), "");
    EXPECT_EQ(read_back, pixels) << (colour ? "RGB" : "grey");
  }
}
#endif

TEST(ImageFile, PnmLayout) {
  scan_geometry geometry;
  geometry.width = 3;
  geometry.height = 2;
  geometry.colour = false;
  const bytes grey = {0, 1, 2, 3, 4, 5};
  const std::string path = temp_path("grey.pnm");
  ASSERT_TRUE(write_image(path, image_format::PNM, geometry, 100, grey).is_ok());
  const std::string header = "P5\n3 2\n255\n";
  bytes expected(header.begin(), header.end());
  expected.insert(expected.end(), grey.begin(), grey.end());
  EXPECT_EQ(read_file(path), expected);

  geometry.colour = true;
  const bytes rgb = pattern(geometry);
  ASSERT_TRUE(write_image(path, image_format::PNM, geometry, 100, rgb).is_ok());
  const bytes file = read_file(path);
  const std::string rgb_header = "P6\n3 2\n255\n";
  ASSERT_EQ(file.size(), rgb_header.size() + 18);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 11), rgb_header);
  EXPECT_EQ(bytes(file.begin() + 11, file.end()), rgb);
  std::remove(path.c_str());
  EXPECT_TRUE(read_file(path + ".part").empty());
}

TEST(ImageFile, WrongPixelCountIsRefused) {
  scan_geometry geometry;
  geometry.width = 3;
  geometry.height = 2;
  const std::string path = temp_path("short.png");
  const outcome written = write_image(path, image_format::PNG, geometry, 100, bytes(5));
  EXPECT_FALSE(written.is_ok());
  EXPECT_TRUE(read_file(path).empty());
  EXPECT_TRUE(read_file(path + ".part").empty());
}

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// The output is made before the scanner is driven; whatever ends the scan
// early leaves nothing behind.
TEST(ImageFile, OutputIsMadeFirstAndLeftOnlyWhenWritten) {
  const std::string path = temp_path("early.pnm");
  for (const bool by_signal : {false, true}) {
    std::unique_ptr<image_output> output;
    ASSERT_TRUE(image_output::open(path, &output).is_ok());
    EXPECT_TRUE(exists(path + ".part"));
    if (by_signal) {
      remove_unfinished_output();
      EXPECT_FALSE(exists(path + ".part"));
    }
    output.reset();  // the scan failed
    EXPECT_FALSE(exists(path + ".part"));
    EXPECT_FALSE(exists(path));
  }
}

unique_fd listen_unix(const std::string& path) {
  unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 1) != 0) {
    fd.reset();
  }
  return fd;
}

bytes read_to_end(int fd) {
  bytes out;
  std::uint8_t buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

// What stands at the output path decides how the image goes there: a
// regular file, or nothing, through TARGET.part and a rename; a device, a
// FIFO or a socket in place, left what it is; a link is followed to its
// target and stays a link. Everything stands in the test's own folder; the
// device nodes are a null and a full device that mknod makes there.
TEST(ImageFile, EveryKindOfOutputPath) {
  std::string dir = temp_path("kinds_XXXXXX");
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  enum kind { NOTHING, FILE, NULL_DEVICE, FULL_DEVICE, BLOCK_DEVICE, FIFO, SOCKET, FOLDER, NO_DIR };
  constexpr image_format PNM = image_format::PNM;
  constexpr image_format PNG = image_format::PNG;
  struct row {
    const char* name;
    kind at;      // what stands at the target
    bool linked;  // the path given is a symbolic link to the target
    image_format format;
    std::string error;  // "" when written; {} stands for the path given
  };
  const std::string full = "cannot write {}: No space left on device";
  const row rows[] = {
      {"new", NOTHING, false, PNM, ""},
      {"file", FILE, false, PNM, ""},
      {"link_to_file", FILE, true, PNM, ""},
      {"dangling_link", NOTHING, true, PNM, ""},
      {"null_device", NULL_DEVICE, false, PNG, ""},
      {"full_device_pnm", FULL_DEVICE, false, PNM, full},
      {"full_device_png", FULL_DEVICE, false, PNG, full},
      {"link_to_full_device", FULL_DEVICE, true, PNG, full},
      {"fifo", FIFO, false, PNM, ""},
      {"socket", SOCKET, false, PNM, ""},
      {"block_device", BLOCK_DEVICE, false, PNM, "will not write over block device {}"},
      {"folder", FOLDER, false, PNM, "cannot write {}: Is a directory"},
      {"no_dir", NO_DIR, false, PNM, "cannot write {}.part: No such file or directory"},
  };
  const scan_geometry geometry{3, 2, false};
  const bytes pixels = {0, 1, 2, 3, 4, 5};
  const std::string head = "P5\n3 2\n255\n";
  bytes pnm(head.begin(), head.end());
  pnm.insert(pnm.end(), pixels.begin(), pixels.end());
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string target = dir + "/" + r.name + (r.at == NO_DIR ? "/x.pnm" : "");
    const std::string path = r.linked ? target + ".link" : target;
    unique_fd peer;  // the reading end of the FIFO, or the listening socket
    int made = 0;
    switch (r.at) {
      case FILE:
        std::ofstream(target) << "old";
        break;
      case NULL_DEVICE:
      case FULL_DEVICE:
      case BLOCK_DEVICE:
        made = ::mknod(target.c_str(), (r.at == BLOCK_DEVICE ? S_IFBLK : S_IFCHR) | 0600,
                       r.at == BLOCK_DEVICE ? 0 : makedev(1, r.at == NULL_DEVICE ? 3 : 7));
        if (made != 0 && errno == EPERM) continue;  // not root: no device nodes here
        break;
      case FIFO:
        made = ::mkfifo(target.c_str(), 0600);
        peer.reset(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        break;
      case SOCKET:
        peer = listen_unix(target);
        made = peer ? 0 : -1;
        break;
      case FOLDER:
        made = ::mkdir(target.c_str(), 0700);
        break;
      case NOTHING:
      case NO_DIR:
        break;
    }
    ASSERT_EQ(made, 0) << std::strerror(errno);
    if (r.linked) {
      ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    }
    struct stat before {};
    ::stat(target.c_str(), &before);

    const outcome written = write_image(path, r.format, geometry, 100, pixels);
    std::string expected = r.error;
    if (const std::size_t at = expected.find("{}"); at != std::string::npos) {
      expected.replace(at, 2, path);
    }
    EXPECT_EQ(written.message(), expected);
    if (r.at == NO_DIR) continue;
    struct stat after {};
    ASSERT_EQ(::stat(target.c_str(), &after), 0);
    if (r.at != NOTHING) {
      EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    }
    struct stat link {};
    if (r.linked) {
      EXPECT_TRUE(::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode));
    }
    if (r.format == PNM && r.error.empty()) {
      if (r.at == SOCKET) peer.reset(::accept4(peer.get(), nullptr, nullptr, SOCK_CLOEXEC));
      EXPECT_EQ(peer ? read_to_end(peer.get()) : read_file(target), pnm);
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_FALSE(entry.path().string().ends_with(".part")) << entry.path();
  }
  std::filesystem::remove_all(dir);
}

TEST(ImageFile, FormatByOptionNameAndBuild) {
  const std::string no_png = "PNG output is not built in (no libpng when scanclient was built)";
  const std::string unknown = "error: cannot tell the image format of '";
  const std::string endings = "': the name must end in .png or .pnm (.pgm, .ppm), or give --format";
  struct row {
    std::string output;
    std::optional<image_format> asked;
    bool png;
    image_format format;
    std::string note;  // "error: ..." when no format can be chosen
  };
  const row rows[] = {
      {"scan.png", {}, true, image_format::PNG, ""},
      {"SCAN.PNM", {}, true, image_format::PNM, ""},
      {"a.pgm", {}, true, image_format::PNM, ""},
      {"a.jpg", image_format::PNM, true, image_format::PNM, ""},
      {"a.pnm", image_format::PNG, true, image_format::PNG, ""},
      {"-", {}, true, image_format::PNG, ""},
      {"-", {}, false, image_format::PNM, ""},
      {"-", image_format::PNG, false, image_format::PNM,
       no_png + "; writing standard output as PNM"},
      {"x.png", {}, false, image_format::PNM, no_png + "; writing x.png as PNM"},
      {"a.jpg", {}, true, image_format::PNM, unknown + "a.jpg" + endings},
      {"png", {}, true, image_format::PNM, unknown + "png" + endings},
  };
  for (const row& r : rows) {
    format_choice choice;
    std::string error;
    const bool chosen = choose_format(r.output, r.asked, r.png, &choice, &error);
    EXPECT_EQ(chosen ? choice.note : "error: " + error, r.note) << r.output;
    if (chosen) {
      EXPECT_EQ(choice.format, r.format) << r.output;
    }
  }
}

// ---- progress

TEST(Progress, Line) {
  EXPECT_EQ(format_progress(5'000'000, 10'000'000, 1.0, 10),
            "[#####.....]  50%  5.0 MB of 10.0 MB  5.0 MB/s  0:01 left");
  EXPECT_EQ(format_progress(10'000'000, 10'000'000, 2.0, 4),
            "[####] 100%  10.0 MB of 10.0 MB  5.0 MB/s  done in 0:02");
  EXPECT_EQ(format_progress(0, 10'000'000, 0.0, 4),
            "[....]   0%  0.0 kB of 10.0 MB  0.0 kB/s  --:-- left");
  EXPECT_EQ(format_progress(1'500'000, 0, 1.0, 4), "1.5 MB  1.5 MB/s");
  EXPECT_EQ(format_size(11'220'000), "11.2 MB");
  EXPECT_EQ(format_rate(13'300'000, 1.0), "13.3 MB/s");
  // A tiny scan in kB, not "0.0 MB".
  EXPECT_EQ(format_size(3072), "3.1 kB");
  EXPECT_EQ(format_rate(3072, 0.004), "768.0 kB/s");
  EXPECT_EQ(format_ms(4.5), "4.50 ms");
  EXPECT_EQ(format_ms(2500), "2.50 s");
}

TEST(Progress, DisabledMeterWritesNothing) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    progress_meter meter(out, false, false);
    meter.update(1, 2);
  }
  EXPECT_EQ(std::ftell(out), 0);
  std::fclose(out);
}

// ---- bridge start-up and command line

TEST(BridgeProcess, MissingExecutable) {
  std::unique_ptr<bridge_process> process;
  const outcome started = bridge_process::start("/nonexistent/scanbridge", 1000, &process);
  EXPECT_EQ(started.message(),
            "bridge not found: /nonexistent/scanbridge: No such file or directory (use --bridge "
            "PATH)");
}

// --bridge, else beside the client (a build tree), else the libexec directory
// seen from the client's bin directory (an installed tree, wherever it is).
TEST(BridgeProcess, LookupOrder) {
  std::string root = temp_path("tree_XXXXXX");
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  const std::string bin = root + "/bin";
  const std::string beside = bin + "/scanbridge";
  const std::string installed = bin + "/../libexec/scanbridge";
  ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/libexec").c_str(), 0755), 0);
  enum file { NONE, EXECUTABLE, PLAIN };
  const auto place = [](const std::string& path, file kind) {
    std::remove(path.c_str());
    if (kind != NONE) std::ofstream(path) << "#!/bin/sh\n";
    if (kind == EXECUTABLE) ::chmod(path.c_str(), 0755);
  };
  struct row {
    std::string given;
    file beside;
    file installed;
    std::string found;  // empty: not found
  };
  const row rows[] = {
      {"/x/bridge", EXECUTABLE, EXECUTABLE, "/x/bridge"},
      {"", EXECUTABLE, EXECUTABLE, beside},
      {"", NONE, EXECUTABLE, installed},
      {"", PLAIN, EXECUTABLE, installed},
      {"", NONE, PLAIN, ""},
  };
  for (const row& r : rows) {
    place(beside, r.beside);
    place(installed, r.installed);
    std::string path;
    std::string error;
    const bool found = locate_bridge(r.given, bin, "../libexec", &path, &error);
    EXPECT_EQ(found ? path : error, !r.found.empty()
                                        ? r.found
                                        : "bridge not found: no executable " + beside + " or " +
                                              installed + "; use --bridge PATH");
  }
  place(beside, NONE);
  place(installed, NONE);
  ::rmdir((root + "/libexec").c_str());
  ::rmdir(bin.c_str());
  ::rmdir(root.c_str());
}

// What parse_options made of a command line, in one line.
std::string summary(const client_options& o) {
  using mode = client_options::mode;
  std::string s = o.command == mode::PROBE ? "probe" : o.command == mode::SCAN ? "scan" : "none";
  if (!o.uri.empty()) s += " " + o.uri;
  if (!o.output.empty()) s += " -> " + o.output;
  if (o.format) s += *o.format == image_format::PNG ? " png" : " pnm";
  s += " " + std::to_string(o.width) + "x" + std::to_string(o.height);
  s += (!o.colour ? " " : *o.colour ? " colour " : " grey ") + std::to_string(o.resolution) + "dpi";
  if (o.show_progress != client_options::progress::AUTO) {
    s += o.show_progress == client_options::progress::ALWAYS ? " progress" : " no-progress";
  }
  if (o.trace) s += " trace";
  if (o.verbose) s += " verbose";
  if (o.esc_g) s += " esc-g";
  if (o.connect_port != 0) s += " connect=" + std::to_string(o.connect_port);
  if (!o.bridge.empty()) s += " bridge=" + o.bridge;
  if (o.timeout_s != 60) s += " timeout=" + std::to_string(o.timeout_s);
  if (o.help) s += " help";
  if (o.version) s += " version";
  return s;
}

TEST(Options, CommandLines) {
  struct row {
    std::vector<std::string> args;
    std::string parsed;  // the summary, or "error: ..."
  };
  const std::string range = "' wants a number from 1 to ";
  const row rows[] = {
      {{"scan", "net://h:5000", "--output", "out.png", "--grey", "--resolution=300", "--width",
        "100", "--trace"},
       "scan net://h:5000 -> out.png 100x3300 grey 300dpi trace"},
      {{"--timeout", "5", "scan", "x://h", "-o", "a.pnm"},
       "scan x://h -> a.pnm 1700x2200 colour 200dpi timeout=5"},
      // The scanimage spellings.
      {{"scan", "-d", "net://h", "--format=png", "-o", "-", "--mode", "Gray", "-p", "--resolution",
        "150dpi"},
       "scan net://h -> - png 1275x1650 grey 150dpi progress"},
      {{"-d", "net://h", "--format=png", "-o", "-"},
       "scan net://h -> - png 1700x2200 colour 200dpi"},
      {{"-oout.pnm", "-pd", "x://h", "scan", "--mode=color", "--no-progress"},
       "scan x://h -> out.pnm 1700x2200 colour 200dpi no-progress"},
      {{"--out=a.png", "--gray", "--colour", "scan", "x://h", "--esc-g", "--bridge", "/b"},
       "scan x://h -> a.png 1700x2200 colour 200dpi esc-g bridge=/b"},
      {{"--connect", "40123", "probe", "-d", "x://h", "x://h"},
       "probe x://h 0x0 200dpi connect=40123"},
      {{"probe", "--", "-odd//h"}, "probe -odd//h 0x0 200dpi"},
      {{"--help", "--bogus-but-after-help"}, "error: unknown option '--bogus-but-after-help'"},
      {{"fly", "-h"}, "none 0x0 200dpi help"},
      {{"-V"}, "none 0x0 200dpi version"},
      {{}, "error: no command given: probe or scan"},
      {{"probe"}, "error: probe needs the device address, e.g. net://192.168.1.20"},
      // Without -o the image goes to standard output, as scanimage's does.
      {{"scan", "net://h"}, "scan net://h -> - 1700x2200 colour 200dpi"},
      {{"--device-name=net://h:1", "--output-file", "a.png", "-v"},
       "scan net://h:1 -> a.png 1700x2200 colour 200dpi verbose"},
      // The kind of PNM the name gives sets the mode, and must agree with one asked for.
      {{"-d", "x://h", "-o", "a.pgm"}, "scan x://h -> a.pgm 1700x2200 grey 200dpi"},
      {{"-d", "x://h", "-o", "a.PPM", "--mode", "Color"},
       "scan x://h -> a.PPM 1700x2200 colour 200dpi"},
      {{"-d", "x://h", "-o", "a.pgm", "--mode", "Color"},
       "error: 'a.pgm' names a grey image, but the mode asked for is Color"},
      {{"-d", "x://h", "-o", "a.ppm", "--grey"},
       "error: 'a.ppm' names a colour image, but the mode asked for is Gray"},
      // An address the bridge could not open is a mistake of the command line.
      {{"-d", "foo"},
       "error: bad device address 'foo': expected SCHEME://HOST[:PORT], e.g. net://192.168.1.20"},
      {{"probe", "net://"},
       "error: bad device address 'net://': expected SCHEME://HOST[:PORT], e.g. "
       "net://192.168.1.20"},
      {{"-d", ""}, "error: the device address is empty"},
      {{"probe", "net://h:99999"},
       "error: bad port '99999' in device address 'net://h:99999': a number from 1 to 65535"},
      {{"-d", "net://h:abc"},
       "error: bad port 'abc' in device address 'net://h:abc': a number from 1 to 65535"},
      {{"-d", "net://[::1]:0"},
       "error: bad port '0' in device address 'net://[::1]:0': a number from 1 to 65535"},
      {{"probe", "//10.0.0.7:1865"}, "probe //10.0.0.7:1865 0x0 200dpi"},
      {{"scan", "net://h", "-o", "a.jpg"},
       "error: cannot tell the image format of 'a.jpg': the name must end in .png or .pnm "
       "(.pgm, .ppm), or give --format"},
      {{"probe", "net://h", "--timeout", "0"},
       "error: option '--timeout" + range + "86400, not '0'"},
      {{"--connect=0", "probe", "x://h"}, "error: option '--connect" + range + "65535, not '0'"},
      {{"probe", "net://h", "--bogus"}, "error: unknown option '--bogus'"},
      {{"probe", "net://h", "-x"}, "error: unknown option '-x'"},
      {{"--trace", "-zq", "probe", "net://h"}, "error: unknown option '-z'"},
      {{"probe", "net://h", "--bridge"}, "error: option '--bridge' needs a value"},
      {{"scan", "net://h", "-po"}, "error: option '-o' needs a value"},
      {{"--trace=1", "probe", "x://h"}, "error: option '--trace' takes no value"},
      {{"--co", "1"}, "error: option '--co' is ambiguous: --colour, --color, --connect"},
      {{"--format", "tiff"}, "error: option '--format' wants png or pnm, not 'tiff'"},
      {{"--mode", "Lineart"}, "error: option '--mode' wants Color or Gray, not 'Lineart'"},
      {{"fly", "net://h"}, "error: unknown command 'fly': probe or scan"},
      {{"-d", "a://x", "probe", "b://y"}, "error: two device addresses: 'a://x' and 'b://y'"},
      {{"probe", "x://h", "extra"}, "error: unexpected argument 'extra'"},
      {{"--connect", "1", "--bridge", "/b", "probe", "x://h"},
       "error: --connect and --bridge exclude each other"},
      {{"scan", "net://h", "-o", "a.png", "--resolution", "9000"},
       "error: the default page (8.5x11 inches) is too large at 9000 dpi: give --width and "
       "--height"},
  };
  for (const row& r : rows) {
    client_options options;
    std::string error;
    const bool parsed = parse_options(r.args, &options, &error);
    std::string line;
    for (const std::string& arg : r.args) line += " " + arg;
    EXPECT_EQ(parsed ? summary(options) : "error: " + error, r.parsed) << "scanclient" << line;
  }
  EXPECT_NE(usage_text().find("scanclient [OPTIONS] probe URI"), std::string::npos);
}

// A socket listening on 127.0.0.1 at a port of the system's choice, with a
// queue of `backlog` connections; its address in *address.
unique_fd listen_on_loopback(int backlog, sockaddr_in* address) {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof *address;
  sockaddr* as_socket = reinterpret_cast<sockaddr*>(address);
  if (::bind(fd.get(), as_socket, size) != 0 || ::listen(fd.get(), backlog) != 0 ||
      ::getsockname(fd.get(), as_socket, &size) != 0) {
    fd.reset();
  }
  return fd;
}

// A listener whose queue of one connection is full leaves further
// handshakes unanswered: the one way to meet silence on loopback.
TEST(OpenFailure, NoAnswerWithinTheBound) {
  sockaddr_in address{};
  const unique_fd listener = listen_on_loopback(0, &address);
  ASSERT_TRUE(listener);
  const unique_fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int port = ntohs(address.sin_port);
  EXPECT_EQ(explain_open_failure({"127.0.0.1", port}, 200),
            "no answer from 127.0.0.1:" + std::to_string(port) + " within 0.2 s");
}

// A scanner's packet: the 12-byte header and the payload.
bytes scanner_packet(const char* magic, std::uint8_t type, const bytes& payload) {
  bytes packet = {static_cast<std::uint8_t>(magic[0]),
                  static_cast<std::uint8_t>(magic[1]),
                  type,
                  0,
                  0,
                  12,
                  0,
                  0,
                  0,
                  static_cast<std::uint8_t>(payload.size()),
                  0,
                  0};
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

// What the test connection finds out from scanners that misbehave each in
// their own way. Each plays one connection on its own thread: it sends its
// bytes, then closes, or waits for the client to close, or first answers the
// IS open request.
TEST(OpenFailure, SaysWhatTheScannerDid) {
  enum then { CLOSE, HOLD, OPEN_ACK, OPEN_NAK };
  struct row {
    bytes sent;
    then next;
    std::string reason;  // after "127.0.0.1:PORT"
  };
  const bytes is12 = scanner_packet("IS", 0x80, {1, 2, 0, 0});
  const row rows[] = {
      {{}, HOLD, ": it took the connection but sent no greeting within 0.2 s"},
      {{}, CLOSE, " closed the connection without a greeting"},
      {scanner_packet("ZZ", 0x80, {1, 2, 0, 0}), HOLD,
       " answered but is not a scanner (no greeting)"},
      {scanner_packet("NT", 0x80, {1, 1, 0, 0}), HOLD,
       " speaks protocol version 1.1; the bridge needs 1.2 or later"},
      {scanner_packet("IS", 0x80, {0, 9, 0, 0}), HOLD,
       " speaks protocol version 0.9; the bridge needs 1.2 or later"},
      {scanner_packet("NT", 0x80, {1, 2, 1, 0}), HOLD,
       " is not ready: its greeting has status 0x01"},
      {scanner_packet("NT", 0x80, {2, 0, 0}), HOLD, " answers as an NT scanner now; try again"},
      {is12, CLOSE, " closed the connection after the greeting"},
      {is12, OPEN_NAK, " refused the open request"},
      {is12, OPEN_ACK, " answers as an IS scanner now; try again"},
  };
  for (const row& r : rows) {
    sockaddr_in address{};
    const unique_fd listener = listen_on_loopback(1, &address);
    ASSERT_TRUE(listener);
    std::thread scanner([&] {
      const unique_fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!r.sent.empty()) {
        ASSERT_EQ(::write(peer.get(), r.sent.data(), r.sent.size()),
                  static_cast<ssize_t>(r.sent.size()));
      }
      if (r.next == CLOSE) return;
      if (r.next != HOLD) {
        std::uint8_t open_request[19];
        ASSERT_EQ(::recv(peer.get(), open_request, sizeof open_request, MSG_WAITALL), 19);
        const bytes reply = scanner_packet("IS", 0xA1, {r.next == OPEN_ACK ? ACK : NAK});
        ASSERT_EQ(::write(peer.get(), reply.data(), reply.size()), 13);
      }
      read_to_end(peer.get());  // until the client closes
    });
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const std::string said = explain_open_failure({"127.0.0.1", ntohs(address.sin_port)},
                                                  r.sent.empty() && r.next == HOLD ? 200 : 30000);
    scanner.join();
    EXPECT_EQ(said, (r.reason.starts_with(":") ? "nothing answered at " : "") + where + r.reason);
  }
}

}  // namespace
}  // namespace scanbridge::tools
