// SPDX-License-Identifier: MIT
// Tests of the scanner emulator: its parts on their own, then whole
// connections driven over loopback sockets the way the bridge drives them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/port_line.h"
#include "tools/common/program.h"
#include "tools/common/scan_format.h"
#include "tools/scanemu/extended_requests.h"
#include "tools/scanemu/image_source.h"
#include "tools/scanemu/options.h"
#include "tools/scanemu/packet.h"
#include "tools/scanemu/parameter_block.h"
#include "tools/scanemu/scan_layout.h"
#include "tools/scanemu/server.h"

namespace scanbridge::tools::scanemu {
namespace {

using bytes = std::vector<std::uint8_t>;

bytes text(const std::string& s) {
  return bytes(s.begin(), s.end());
}

// The whole test image, sample by sample from the pattern function.
bytes reference_image(const scan_geometry& g) {
  bytes image;
  for (std::uint32_t y = 0; y < g.height; ++y) {
    for (std::uint32_t x = 0; x < g.width; ++x) {
      for (std::uint32_t c = 0; c < g.channels(); ++c) image.push_back(test_pattern(g, x, y, c));
    }
  }
  return image;
}

// ---------------------------------------------------------------------------
// Parts

TEST(ScanemuOptions, DefaultsAndValues) {
  parse_result r = parse_options({});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.protocol, variant::NT);
  EXPECT_EQ(r.options.port, 1865);

  r = parse_options({"--variant", "is", "--port=0", "--colour", "--width", "10", "--block-size",
                     "512", "--reset-after-blocks", "0", "--greeting-version", "2.0"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.protocol, variant::IS);
  EXPECT_EQ(r.options.port, 0);
  EXPECT_TRUE(r.options.colour);
  EXPECT_EQ(r.options.width, 10u);
  EXPECT_EQ(r.options.block_size, 512u);
  ASSERT_TRUE(r.options.reset_after_blocks.has_value());
  EXPECT_EQ(*r.options.reset_after_blocks, 0u);
  EXPECT_EQ(r.options.greeting_major, 2);
  EXPECT_EQ(r.options.greeting_minor, 0);
}

TEST(ScanemuOptions, CommandLines) {
  struct row {
    std::vector<std::string> args;
    std::string error;  // empty: parsed
  };
  const row rows[] = {
      {{
           "-vp0",
           "--variant=IS",
           "--",
       },
       ""},
      {{"-p", "0", "--verb", "--greeting-version", "1.0"}, ""},
      {{"--variant", "xx"}, "option '--variant' wants nt or is, not 'xx'"},
      {{"--port"}, "option '--port' needs a value"},
      {{"-p"}, "option '-p' needs a value"},
      {{"-p", "70000"}, "option '-p' wants a number from 0 to 65535, not '70000'"},
      {{"--width", "0"}, "option '--width' wants a number from 1 to 65535, not '0'"},
      {{"--greeting-version", "1"},
       "option '--greeting-version' wants MAJOR.MINOR, each from 0 to 255, not '1'"},
      {{"--verbose=1"}, "option '--verbose' takes no value"},
      {{"--nonsense"}, "unknown option '--nonsense'"},
      {{"-x"}, "unknown option '-x'"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--nt-extended", "--no-extended"},
       "options '--nt-extended' and '--no-extended' exclude each other"},
  };
  for (const row& r : rows) {
    const parse_result parsed = parse_options(r.args);
    EXPECT_EQ(parsed.error, r.error) << r.args.front();
  }
  const parse_result short_forms = parse_options({"-vp0", "--variant=IS"});
  EXPECT_TRUE(short_forms.options.verbose);
  EXPECT_EQ(short_forms.options.port, 0);
  EXPECT_EQ(short_forms.options.protocol, variant::IS);
  EXPECT_TRUE(parse_options({"--help"}).options.help);
  EXPECT_TRUE(parse_options({"-V"}).options.version);
}

// --help shows the main names only; the manual page describes every name.
TEST(ScanemuOptions, HelpAndManualPageNameEveryOption) {
  const std::string help = help_text();
  std::ifstream page(SCANEMU_MAN_PAGE);
  const std::string manual((std::istreambuf_iterator<char>(page)),
                           std::istreambuf_iterator<char>());
  ASSERT_FALSE(manual.empty()) << SCANEMU_MAN_PAGE;
  for (const std::string& name : option_names()) {
    EXPECT_NE(manual.find("\\-" + name), std::string::npos) << name;
    if (name != "color" && name != "gray") {
      EXPECT_NE(help.find("--" + name), std::string::npos) << name;
    }
  }
}

TEST(ScanemuImage, MatchesThePatternSampleBySample) {
  const scan_geometry geometries[] = {{1, 1, false},    {1, 1, true},    {7, 5, true},
                                      {33, 10, false},  {100, 3, true},  {2, 2, false},
                                      {640, 481, true}, {5, 1000, false}};
  for (const scan_geometry& g : geometries) {
    SCOPED_TRACE(std::to_string(g.width) + "x" + std::to_string(g.height) +
                 (g.colour ? " colour" : " grey"));
    const bytes expected = reference_image(g);
    const image_source image(g);
    ASSERT_EQ(image.size(), expected.size());
    bytes whole(expected.size());
    image.copy(0, whole.data(), whole.size());
    EXPECT_EQ(whole, expected);
    // Pieces that start and end inside lines.
    const std::size_t step = 13;
    for (std::size_t at = 0; at < expected.size(); at += step) {
      const std::size_t n = std::min(step + 4, expected.size() - at);
      bytes piece(n);
      image.copy(at, piece.data(), n);
      ASSERT_EQ(piece, bytes(expected.begin() + at, expected.begin() + at + n)) << "at " << at;
    }
  }
}

TEST(ScanemuLayout, CutsTheImageIntoBlocks) {
  EXPECT_FALSE(plan_scan(0, 512));
  auto l = plan_scan(100, 512);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->block_size, 512u);
  EXPECT_EQ(l->block_count, 0u);
  EXPECT_EQ(l->last_block_size, 100u);
  l = plan_scan(1024, 512);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->block_count, 1u);
  EXPECT_EQ(l->last_block_size, 512u);
  l = plan_scan(1281, 256);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->block_count, 5u);
  EXPECT_EQ(l->last_block_size, 1u);

  const auto info = info_block(scan_layout{512, 2, 256});
  const bytes expected = {0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02,
                          0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  EXPECT_EQ(bytes(info.begin(), info.end()), expected);
  EXPECT_EQ(info_block(std::nullopt)[1], SCAN_STATUS_FATAL);
}

TEST(ScanemuLayout, TransferRequestForms) {
  bytes one = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 1, 0,    0,   0,
               0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x65, 0x06};
  EXPECT_EQ(transfer_request(scan_layout{512, 1, 100}), one);
  bytes none(28, 0);
  none[27] = 0x65;
  EXPECT_EQ(transfer_request(scan_layout{512, 0, 100}), none);
  const bytes many = transfer_request(scan_layout{512, 3, 100});
  ASSERT_EQ(many.size(), 30u);
  EXPECT_EQ(get_be32(many.data()), 3u);
  EXPECT_EQ(get_be32(many.data() + 16), 513u);
  EXPECT_EQ(many[20], 0x06);
  EXPECT_EQ(get_be32(many.data() + 25), 101u);
  EXPECT_EQ(many[29], 0x06);
}

bytes with_prefix(const bytes& data, std::uint32_t reply_size) {
  bytes out(8);
  put_be32(out.data(), static_cast<std::uint32_t>(data.size()));
  put_be32(out.data() + 4, reply_size);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

TEST(ScanemuLayout, ChecksTransferRequestsFieldByField) {
  const scan_layout layout{512, 3, 100};
  bytes good = with_prefix(transfer_request(layout), 0);
  EXPECT_EQ(check_transfer_request(layout, good.data(), good.size()), "");

  bytes bad = good;
  put_be32(bad.data() + 8 + 25, 100);  // last block size without its status byte
  const std::string error = check_transfer_request(layout, bad.data(), bad.size());
  EXPECT_NE(error.find("step 3 reply size"), std::string::npos) << error;
  EXPECT_NE(error.find("expected 101"), std::string::npos) << error;

  bytes short_form = with_prefix(transfer_request(scan_layout{512, 1, 100}), 0);
  EXPECT_NE(check_transfer_request(layout, short_form.data(), short_form.size()).find("29 bytes"),
            std::string::npos);
  bytes wrong_reply = with_prefix(transfer_request(layout), 7);
  EXPECT_NE(check_transfer_request(layout, wrong_reply.data(), wrong_reply.size()), "");
}

TEST(ScanemuParameterBlock, FindsTheFlaggedSetting) {
  bytes block(PARAMETER_BLOCK_SIZE, 0);
  block[4] = 0x04;  // 'A'
  for (int i = 0; i < 8; ++i) block[46 + i] = static_cast<std::uint8_t>(i + 1);
  decoded_block d = decode_parameter_block(block.data());
  ASSERT_EQ(d.parameters.size(), 1u);
  EXPECT_EQ(d.parameters[0].letter, 'A');
  EXPECT_EQ(d.parameters[0].value, (bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(d.unknown, flag_bitmap{});

  bytes tables(PARAMETER_BLOCK_SIZE, 0);
  tables[6] = 0x02;  // 'z', green table
  tables[408] = 0xAB;
  tables[7] = 0x80;  // names no setting
  d = decode_parameter_block(tables.data());
  ASSERT_EQ(d.parameters.size(), 1u);
  EXPECT_EQ(d.parameters[0].letter, 'z');
  EXPECT_EQ(d.parameters[0].flag_bit, 1);
  ASSERT_EQ(d.parameters[0].value.size(), 257u);
  EXPECT_EQ(d.parameters[0].value[0], 'G');
  EXPECT_EQ(d.parameters[0].value[1], 0xAB);
  EXPECT_EQ(d.unknown[7], 0x80);
}

TEST(ScanemuExtended, HeadersAndSizes) {
  const bytes h = make_reply_header("IMG ", 0x100, {"#imgMORE"});
  ASSERT_EQ(h.size(), REPLY_HEADER_SIZE);
  EXPECT_EQ(std::string(h.begin(), h.begin() + 24), "IMG x0000100#imgMORE#---");
  EXPECT_EQ(parse_announced_size(h.data()), 0x100u);
  EXPECT_EQ(parse_announced_size(text("INFOx00000ff").data()), std::nullopt);
  EXPECT_EQ(parse_announced_size(text("INFOy0000000").data()), std::nullopt);
  EXPECT_EQ(parse_announced_size(text("INFOxFFFFFFF").data()), MAX_ANNOUNCED_SIZE);
}

// ---------------------------------------------------------------------------
// Whole connections

// The emulator's server on a thread of this process, on a system-chosen port.
class running_emulator {
 public:
  explicit running_emulator(emulator_options options) : server_(with_port_0(options)) {
    listening_ = server_.listen();
    if (listening_) thread_ = std::thread([this] { server_.run(); });
  }
  ~running_emulator() {
    if (!listening_) return;
    server_.stop();
    thread_.join();
  }
  int port() const { return server_.port(); }
  void post(char command) { server_.post(command); }

 private:
  static emulator_options with_port_0(emulator_options options) {
    options.port = 0;
    return options;
  }
  server server_;
  bool listening_;
  std::thread thread_;
};

// The bridge's side of one scanner connection, reduced to what the tests
// need. Every read gives up after 10 seconds, so a broken emulator fails the
// test instead of hanging it.
class peer {
 public:
  peer(int port, std::string magic) : magic_(std::move(magic)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~peer() { ::close(fd_); }

  bool connected() const { return connected_; }

  void send(std::uint8_t type, std::uint8_t flag, const bytes& payload) {
    bytes packet(HEADER_SIZE);
    put_header(packet.data(), magic_, type, flag, static_cast<std::uint32_t>(payload.size()));
    packet.insert(packet.end(), payload.begin(), payload.end());
    ASSERT_TRUE(write_all(fd_, packet.data(), packet.size()));
  }
  // Several packets in one write, so that the emulator finds them all
  // waiting when it reads the first.
  void send_together(const std::vector<packet>& packets) {
    bytes all;
    for (const packet& p : packets) {
      bytes header(HEADER_SIZE);
      put_header(header.data(), magic_, p.type, p.flag,
                 static_cast<std::uint32_t>(p.payload.size()));
      all.insert(all.end(), header.begin(), header.end());
      all.insert(all.end(), p.payload.begin(), p.payload.end());
    }
    ASSERT_TRUE(write_all(fd_, all.data(), all.size()));
  }
  // An IS command chunk: prefix [length][reply size], then the bytes.
  void send_chunk(const bytes& data, std::uint32_t reply_size) {
    send(0x20, 0, with_prefix(data, reply_size));
  }

  // The next packet; nothing when the connection ended or the time ran out.
  // The magic of the header is kept in last_magic.
  std::optional<packet> receive() {
    std::uint8_t header[HEADER_SIZE];
    if (read_exact(fd_, header, sizeof header) != read_status::OK) return std::nullopt;
    last_magic = std::string(header, header + 2);
    packet p;
    p.type = header[2];
    p.flag = header[3];
    announced = get_be32(header + 6);
    if (announced > (64u << 20)) return p;
    p.payload.resize(announced);
    if (!p.payload.empty() &&
        read_exact(fd_, p.payload.data(), p.payload.size()) != read_status::OK) {
      return std::nullopt;
    }
    return p;
  }
  // True when the emulator has closed the connection (and sent nothing more).
  bool closed_by_emulator() {
    std::uint8_t byte;
    return read_exact(fd_, &byte, 1) == read_status::END;
  }
  int last_errno() const { return errno; }

  std::string last_magic;
  std::uint32_t announced = 0;

 private:
  std::string magic_;
  int fd_;
  bool connected_ = false;
};

emulator_options base_options(variant v) {
  emulator_options o;
  o.protocol = v;
  o.width = 40;
  o.height = 30;
  o.block_size = 256;
  return o;
}

void expect_greeting(peer& p, const std::string& magic) {
  const auto greeting = p.receive();
  ASSERT_TRUE(greeting);
  EXPECT_EQ(p.last_magic, magic);
  EXPECT_EQ(greeting->type, 0x80);
  ASSERT_GE(greeting->payload.size(), 3u);
  EXPECT_EQ(greeting->payload[0], 1);
  EXPECT_EQ(greeting->payload[1], 2);
  EXPECT_EQ(greeting->payload[2], 0);
}

void open_nt(peer& p) {
  ASSERT_TRUE(p.connected());
  expect_greeting(p, "NT");
  p.send(0x11, 0, {0x00, 0x02});
}

void open_is(peer& p) {
  ASSERT_TRUE(p.connected());
  expect_greeting(p, "IS");
  p.send(0x21, 0, {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C});
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 0xA1);
  EXPECT_EQ(reply->payload, bytes{0x06});
}

// Sends one NT setting as the 1176-byte parameter block and returns the
// 8-byte status.
bytes nt_setting(peer& p, std::uint8_t flag_byte, std::uint8_t flag_bit, std::size_t offset,
                 const bytes& value) {
  bytes block(PARAMETER_BLOCK_SIZE, 0);
  block[flag_byte] = static_cast<std::uint8_t>(1u << flag_bit);
  std::copy(value.begin(), value.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
  p.send(0x02, 0, block);
  const auto reply = p.receive();
  if (!reply || reply->type != 0x82) return {};
  return reply->payload;
}

bytes area(std::uint16_t width, std::uint16_t height) {
  bytes a(8, 0);
  put_le16(a.data() + 4, width);
  put_le16(a.data() + 6, height);
  return a;
}

// Reads the information block and every data block of a scan; returns the
// image bytes, checking each block's size and status byte.
bytes read_scan(peer& p, std::uint8_t type, const bytes& info) {
  EXPECT_EQ(info.size(), INFO_BLOCK_SIZE);
  if (info.size() != INFO_BLOCK_SIZE) return {};
  EXPECT_EQ(info[0], 0x02);
  EXPECT_EQ(info[1], 0x00);
  const std::uint32_t block_size = get_le16(info.data() + 2) | get_le16(info.data() + 4) << 16;
  const std::uint32_t count = get_le16(info.data() + 6) | get_le16(info.data() + 8) << 16;
  const std::uint32_t last = get_le16(info.data() + 10) | get_le16(info.data() + 12) << 16;
  bytes image;
  for (std::uint32_t i = 0; i <= count; ++i) {
    const auto block = p.receive();
    EXPECT_TRUE(block);
    if (!block) return image;
    EXPECT_EQ(block->type, type);
    EXPECT_EQ(block->payload.size(), (i < count ? block_size : last) + 1) << "block " << i;
    EXPECT_EQ(block->payload.back(), 0x00);
    image.insert(image.end(), block->payload.begin(), block->payload.end() - 1);
  }
  return image;
}

TEST(ScanemuNt, GreetingSetupAndNoticeQuery) {
  running_emulator emulator(base_options(variant::NT));
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x11, 0, {0x00, 0x00});
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 0x91);
  EXPECT_EQ(reply->payload, (bytes{0x00, 0x01}));
}

TEST(ScanemuNt, IdentityIsAVariableReply) {
  running_emulator emulator(base_options(variant::NT));
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x01, 0, {0x1B, 'I'});
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 0x81);
  ASSERT_GE(reply->payload.size(), 4u);
  EXPECT_EQ(reply->payload[0], 0x02);
  EXPECT_EQ(get_le16(reply->payload.data() + 2), reply->payload.size() - 4);
  EXPECT_EQ(std::string(reply->payload.begin() + 4, reply->payload.end()), "scanemu NT 1.2");
}

TEST(ScanemuNt, GenericAndFsCommands) {
  running_emulator emulator(base_options(variant::NT));
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x01, 0, {0x1B, '@'});
  auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 0x81);
  EXPECT_EQ(reply->payload, bytes{0x06});
  const std::pair<std::uint8_t, std::size_t> sizes[] = {{'F', 16}, {'I', 80}, {'S', 64}};
  for (const auto& [letter, size] : sizes) {
    p.send(0x08, 0, {0x1C, letter});
    reply = p.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, 0x88);
    EXPECT_EQ(reply->payload.size(), size) << letter;
  }
  // No extended mode on this variant.
  p.send(0x08, 0, {0x1C, 'X'});
  reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, bytes{0x15});
  // A command with its value (ESC e).
  p.send(0x01, 0, {0x1B, 'e', 0x05});
  reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, bytes{0x06});
}

TEST(ScanemuNt, ScanDeliversThePatternInAnnouncedBlocks) {
  running_emulator emulator(base_options(variant::NT));
  peer p(emulator.port(), "NT");
  open_nt(p);
  EXPECT_EQ(nt_setting(p, 0, 1, 9, {COLOUR_RGB}), bytes(8, 0));   // ESC C
  EXPECT_EQ(nt_setting(p, 4, 2, 46, area(37, 21)), bytes(8, 0));  // ESC A
  EXPECT_EQ(nt_setting(p, 0, 0, 8, {8}), bytes(8, 0));            // ESC D

  p.send(0x08, 0, {0x1B, 'G'});
  const auto info = p.receive();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->type, 0x89);
  // 37 * 21 * 3 = 2331 bytes in blocks of 256: 9 full blocks and 27 bytes.
  EXPECT_EQ(info->payload, (bytes{0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x1B,
                                  0x00, 0x00, 0x00}));
  const bytes image = read_scan(p, 0x89, info->payload);
  EXPECT_EQ(image, reference_image(scan_geometry{37, 21, true}));

  // The connection goes on after the scan.
  p.send(0x01, 0, {0x1B, 'F'});
  const auto status = p.receive();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->type, 0x81);
  EXPECT_EQ(status->payload.size(), 4u);
}

TEST(ScanemuNt, RefusedSettingsSetTheirStatusBit) {
  emulator_options o = base_options(variant::NT);
  running_emulator emulator(o);
  peer p(emulator.port(), "NT");
  open_nt(p);
  // Depth 16 is not scanned; colour mode 7 does not exist.
  bytes refused(8, 0);
  refused[0] = 0x01;
  EXPECT_EQ(nt_setting(p, 0, 0, 8, {16}), refused);
  refused[0] = 0x02;
  EXPECT_EQ(nt_setting(p, 0, 1, 9, {7}), refused);

  o.refuse_params = true;
  running_emulator refusing(o);
  peer q(refusing.port(), "NT");
  open_nt(q);
  bytes area_refused(8, 0);
  area_refused[4] = 0x04;
  EXPECT_EQ(nt_setting(q, 4, 2, 46, area(10, 10)), area_refused);
}

TEST(ScanemuNt, CancelStopsTheStreamAndIsAcknowledged) {
  emulator_options o = base_options(variant::NT);
  o.width = 1000;
  o.height = 1000;
  o.block_size = 1000;
  running_emulator emulator(o);
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x08, 0, {0x1C, 'G'});
  const auto info = p.receive();
  ASSERT_TRUE(info);
  ASSERT_EQ(info->type, 0x89);
  p.send(0x01, 0, {0x18});
  // Blocks in flight come first; the stream then stops with the answer.
  std::size_t blocks = 0;
  for (;;) {
    const auto reply = p.receive();
    ASSERT_TRUE(reply);
    if (reply->type != 0x89) {
      EXPECT_EQ(reply->type, 0x81);
      EXPECT_EQ(reply->payload, bytes{0x06});
      break;
    }
    ++blocks;
  }
  EXPECT_LE(blocks, 1000u);
  p.send(0x01, 0, {0x1B, 'F'});
  const auto status = p.receive();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->type, 0x81);
}

TEST(ScanemuIs, OpenAndClose) {
  running_emulator emulator(base_options(variant::IS));
  peer p(emulator.port(), "IS");
  open_is(p);
  p.send(0x21, 1, {});
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 0xA1);
  EXPECT_EQ(reply->flag, 1);
  EXPECT_EQ(reply->payload, bytes{0x06});
}

TEST(ScanemuIs, WrongOpenRequestIsRefused) {
  running_emulator emulator(base_options(variant::IS));
  peer p(emulator.port(), "IS");
  expect_greeting(p, "IS");
  p.send(0x21, 0, {0x01, 0x02});
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, bytes{0x15});
  // Commands before a successful open end the connection.
  p.send_chunk({0x1B, 'F'}, 4);
  EXPECT_TRUE(p.closed_by_emulator());
}

TEST(ScanemuIs, VariableReplyInTwoRequests) {
  running_emulator emulator(base_options(variant::IS));
  peer p(emulator.port(), "IS");
  open_is(p);
  p.send_chunk({0x1B, 'I'}, 4);
  const auto head = p.receive();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->type, 0xA0);
  ASSERT_EQ(head->payload.size(), 4u);
  const std::uint16_t count = get_le16(head->payload.data() + 2);
  p.send_chunk({}, count);
  const auto data = p.receive();
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(data->payload.begin(), data->payload.end()), "scanemu IS 1.2");
}

TEST(ScanemuIs, RepliesHaveTheSizeAskedFor) {
  running_emulator emulator(base_options(variant::IS));
  peer p(emulator.port(), "IS");
  open_is(p);
  const std::tuple<std::uint8_t, std::uint8_t, std::uint32_t> commands[] = {
      {0x1B, 'F', 4}, {0x1C, 'F', 16}, {0x1C, 'I', 80}, {0x1C, 'S', 64}, {0x1B, '@', 1}};
  for (const auto& [prefix, letter, size] : commands) {
    p.send_chunk({prefix, letter}, size);
    const auto reply = p.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, 0xA0);
    EXPECT_EQ(reply->payload.size(), size) << letter;
  }
}

TEST(ScanemuIs, SettingsTakeTheirValueInASecondPacket) {
  running_emulator emulator(base_options(variant::IS));
  peer p(emulator.port(), "IS");
  open_is(p);
  auto setting = [&p](std::uint8_t letter, const bytes& value) {
    p.send_chunk({0x1B, letter}, 1);
    const auto first = p.receive();
    EXPECT_TRUE(first && first->payload == bytes{0x06});
    p.send_chunk(value, 1);
    const auto second = p.receive();
    return second ? second->payload : bytes{};
  };
  EXPECT_EQ(setting('C', {COLOUR_RGB}), bytes{0x06});
  EXPECT_EQ(setting('D', {7}), bytes{0x15});
  EXPECT_EQ(setting('e', {1, 2, 3}), bytes{0x06});
}

TEST(ScanemuIs, NoticeFlagReportedByEscBang) {
  emulator_options o = base_options(variant::IS);
  o.notice_every = 1;
  running_emulator emulator(o);
  peer p(emulator.port(), "IS");
  open_is(p);
  p.send_chunk({0x1B, '!'}, 4);
  const auto notice = p.receive();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->type, 0x90);
  EXPECT_EQ(notice->payload, bytes{0x01});
  const auto head = p.receive();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->payload, (bytes{0x02, 0x00, 0x01, 0x00}));
  p.send_chunk({}, 1);
  ASSERT_TRUE(p.receive());  // the notice before this answer
  const auto flag = p.receive();
  ASSERT_TRUE(flag);
  EXPECT_EQ(flag->payload, bytes{0x01});
}

// Starts an IS scan and checks its information block; returns it.
bytes start_is_scan(peer& p) {
  p.send_chunk({0x1C, 'G'}, 14);
  const auto info = p.receive();
  EXPECT_TRUE(info);
  if (!info) return {};
  EXPECT_EQ(info->type, 0xA0);
  return info->payload;
}

scan_layout layout_of(const bytes& info) {
  scan_layout l;
  l.block_size = get_le16(info.data() + 2) | get_le16(info.data() + 4) << 16;
  l.block_count = get_le16(info.data() + 6) | get_le16(info.data() + 8) << 16;
  l.last_block_size = get_le16(info.data() + 10) | get_le16(info.data() + 12) << 16;
  return l;
}

TEST(ScanemuIs, ScanAfterTheTransferRequest) {
  for (const std::uint32_t height : {30u, 12u, 5u}) {  // 4, 1 and 0 full blocks
    SCOPED_TRACE("height " + std::to_string(height));
    emulator_options o = base_options(variant::IS);
    o.height = height;
    o.block_size = 200;
    running_emulator emulator(o);
    peer p(emulator.port(), "IS");
    open_is(p);
    const bytes info = start_is_scan(p);
    ASSERT_EQ(info.size(), INFO_BLOCK_SIZE);
    // The next command waits behind the transfer request, as a driver's
    // close request may when the last block reaches it: the scan is whole
    // all the same, and counted.
    p.send_together({{0x22, 0, with_prefix(transfer_request(layout_of(info)), 0)},
                     {0x20, 0, with_prefix({0x1B, 'q'}, 4)}});
    EXPECT_EQ(read_scan(p, 0xA2, info), reference_image(scan_geometry{40, height, false}));
    const auto head = p.receive();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->payload, (bytes{0x02, 0x00, 0x08, 0x00}));
    p.send_chunk({}, 8);
    const auto counters = p.receive();
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->payload, (bytes{1, 0, 0, 0, 0, 0, 0, 0})) << "scans completed";
  }
}

TEST(ScanemuIs, WrongTransferRequestClosesTheConnection) {
  running_emulator emulator(base_options(variant::IS));
  peer p(emulator.port(), "IS");
  open_is(p);
  const bytes info = start_is_scan(p);
  ASSERT_EQ(info.size(), INFO_BLOCK_SIZE);
  scan_layout wrong = layout_of(info);
  wrong.last_block_size += 1;
  p.send(0x22, 0, with_prefix(transfer_request(wrong), 0));
  EXPECT_TRUE(p.closed_by_emulator());
}

TEST(ScanemuIs, CancelDuringTheStream) {
  emulator_options o = base_options(variant::IS);
  o.width = 1000;
  o.height = 1000;
  o.block_size = 1000;
  running_emulator emulator(o);
  peer p(emulator.port(), "IS");
  open_is(p);
  const bytes info = start_is_scan(p);
  ASSERT_EQ(info.size(), INFO_BLOCK_SIZE);
  p.send(0x22, 0, with_prefix(transfer_request(layout_of(info)), 0));
  p.send(0x22, 1, with_prefix({0x18}, 1));
  for (;;) {
    const auto reply = p.receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->type, 0xA2);
    if (reply->payload.size() == 1) {
      EXPECT_EQ(reply->payload, bytes{0x06});
      break;
    }
  }
}

// One extended request without payload; returns header and payload.
std::pair<std::string, std::string> extended_request(peer& p, const std::string& request,
                                                     const std::string& payload = "") {
  if (payload.empty()) {
    p.send_chunk(text(request), 64);
  } else {
    p.send_chunk(text(request), 0);
    const auto ack = p.receive();
    EXPECT_TRUE(ack && ack->type == 0xA0);
    p.send_chunk(text(payload), 64);
  }
  const auto header = p.receive();
  EXPECT_TRUE(header);
  if (!header) return {};
  EXPECT_EQ(header->payload.size(), 64u);
  const std::string h(header->payload.begin(), header->payload.end());
  const auto size = parse_announced_size(header->payload.data());
  EXPECT_TRUE(size);
  if (!size || *size == 0) return {h, ""};
  p.send_chunk({}, *size);
  const auto data = p.receive();
  EXPECT_TRUE(data);
  if (!data) return {h, ""};
  return {h, std::string(data->payload.begin(), data->payload.end())};
}

TEST(ScanemuIs, ExtendedModeRequests) {
  emulator_options o = base_options(variant::IS);
  o.fin_busy = 1;
  running_emulator emulator(o);
  peer p(emulator.port(), "IS");
  open_is(p);
  p.send_chunk({0x1C, 'X'}, 1);
  const auto ack = p.receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->payload, bytes{0x06});

  auto [info, info_text] = extended_request(p, "INFOx0000000");
  EXPECT_EQ(info.substr(0, 4), "INFO");
  EXPECT_NE(info_text.find("model=scanemu"), std::string::npos);

  const std::string settings = "width=10 height=4 mode=colour block=50";
  char request[13];
  std::snprintf(request, sizeof request, "PARAx%07X", static_cast<unsigned>(settings.size()));
  auto [para, none] = extended_request(p, request, settings);
  EXPECT_EQ(para.substr(0, 16), "PARAx0000000#---");

  // 10 * 4 * 3 = 120 bytes in chunks of 50.
  std::string image;
  for (const char* mark : {"#imgMORE", "#imgMORE", "#imgLAST"}) {
    auto [header, chunk] = extended_request(p, "IMG x0000000");
    EXPECT_EQ(header.substr(12, 8), mark);
    image += chunk;
  }
  const bytes expected = reference_image(scan_geometry{10, 4, true});
  EXPECT_EQ(bytes(image.begin(), image.end()), expected);

  auto [busy, unused] = extended_request(p, "FIN x0000000");
  EXPECT_EQ(busy.substr(0, 20), "FIN x0000000#nrdBUSY");
  auto [fin, unused2] = extended_request(p, "FIN x0000000");
  EXPECT_EQ(fin.substr(0, 16), "FIN x0000000#---");
  EXPECT_EQ(fin.find("#nrdBUSY"), std::string::npos);

  // Legacy commands again.
  p.send_chunk({0x1B, 'F'}, 4);
  const auto status = p.receive();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->payload.size(), 4u);
}

// ---------------------------------------------------------------------------
// Fault modes

TEST(ScanemuFaults, WrongMagic) {
  emulator_options o = base_options(variant::NT);
  o.wrong_magic = true;
  running_emulator emulator(o);
  peer p(emulator.port(), "NT");
  const auto greeting = p.receive();
  ASSERT_TRUE(greeting);
  EXPECT_NE(p.last_magic, "NT");
  EXPECT_NE(p.last_magic, "IS");
}

TEST(ScanemuFaults, CloseAfterGreeting) {
  emulator_options o = base_options(variant::IS);
  o.close_after_greeting = true;
  running_emulator emulator(o);
  peer p(emulator.port(), "IS");
  expect_greeting(p, "IS");
  EXPECT_TRUE(p.closed_by_emulator());
}

TEST(ScanemuFaults, OversizedHeader) {
  emulator_options o = base_options(variant::NT);
  o.oversized_header = true;
  running_emulator emulator(o);
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x01, 0, {0x1B, 'F'});
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_GT(p.announced, 256u << 20);
}

TEST(ScanemuFaults, ResetAfterBlocks) {
  emulator_options o = base_options(variant::NT);
  o.reset_after_blocks = 2;
  running_emulator emulator(o);
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x08, 0, {0x1C, 'G'});
  const auto info = p.receive();
  ASSERT_TRUE(info);
  ASSERT_TRUE(p.receive());
  ASSERT_TRUE(p.receive());
  EXPECT_FALSE(p.receive());
  EXPECT_EQ(p.last_errno(), ECONNRESET);
}

TEST(ScanemuFaults, NoticeStormAndDisconnect) {
  emulator_options o = base_options(variant::NT);
  o.notice_storm = 3;
  o.disconnect_after = 2;
  running_emulator emulator(o);
  peer p(emulator.port(), "NT");
  open_nt(p);
  p.send(0x01, 0, {0x1B, '@'});
  for (int i = 0; i < 3; ++i) {
    const auto notice = p.receive();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->type, 0x84);
    EXPECT_EQ(notice->payload, bytes{0x01});
  }
  const auto reply = p.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 0x81);
  p.send(0x01, 0, {0x1B, '@'});
  const auto disconnect = p.receive();
  ASSERT_TRUE(disconnect);
  EXPECT_EQ(disconnect->type, 0x84);
  EXPECT_EQ(disconnect->payload, bytes{0x02});
  EXPECT_TRUE(p.closed_by_emulator());
}

TEST(ScanemuFaults, NoticeOnDemand) {
  running_emulator emulator(base_options(variant::NT));
  peer p(emulator.port(), "NT");
  open_nt(p);
  // A command answered proves the session is past its greeting.
  p.send(0x01, 0, {0x1B, '@'});
  ASSERT_TRUE(p.receive());
  emulator.post(COMMAND_NOTICE);
  const auto notice = p.receive();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->type, 0x84);
  emulator.post(COMMAND_DISCONNECT);
  const auto disconnect = p.receive();
  ASSERT_TRUE(disconnect);
  EXPECT_EQ(disconnect->payload, bytes{0x02});
  EXPECT_TRUE(p.closed_by_emulator());
}

TEST(ScanemuServer, ServesSeveralConnectionsAtOnce) {
  running_emulator emulator(base_options(variant::IS));
  std::vector<std::unique_ptr<peer>> peers;
  for (int i = 0; i < 16; ++i) {
    peers.push_back(std::make_unique<peer>(emulator.port(), "IS"));
    open_is(*peers.back());
  }
  for (auto& p : peers) {
    p->send_chunk({0x1B, 'F'}, 4);
    const auto reply = p->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload.size(), 4u);
  }
}

// ---------------------------------------------------------------------------
// The program

TEST(ScanemuProgram, PrintsItsPortAndStopsOnSigterm) {
  program_start start;
  start.argv = {SCANEMU_PATH, "--variant", "is", "--port", "0"};
  started_program child;
  std::string error;
  ASSERT_TRUE(start_program(start, &child, &error)) << error;
  int port = 0;
  std::string rest;
  EXPECT_EQ(read_port_line(child.out.get(), std::chrono::seconds(10), &port, &error, &rest),
            port_line::PORT)
      << error;
  if (port > 0) {
    peer p(port, "IS");
    open_is(p);
  }
  ::kill(child.pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace scanbridge::tools::scanemu
