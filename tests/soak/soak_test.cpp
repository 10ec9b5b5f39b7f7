// SPDX-License-Identifier: MIT
// Soak tests of the real bridge process against the scanner emulator: a
// thousand OPEN/CLOSE cycles, sixteen devices open at once with their commands
// and scans interleaved, and clients that leave in the middle of a message.
// The bridge's open descriptors and resident memory are taken from /proc after
// a warm-up and again at the end; descriptors must not grow at all, memory
// only within a small slack (allocator pages, not leaks).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"
#include "tests/support/bridge_process.h"
#include "tests/support/link_client.h"

namespace scanbridge::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Under AddressSanitizer freed blocks wait in a quarantine of up to 256 MiB
// before they are reused, so resident memory grows with every allocation
// whether or not anything leaks; leaks are the sanitizer's own leak check's
// business there. The figures are printed all the same.
constexpr bool kCheckResidentMemory = !kAddressSanitizer;
constexpr std::size_t kResidentSlackKib = 256;

// ---------------------------------------------------------------------------
// What the bridge holds

struct footprint {
  std::size_t descriptors = 0;
  std::size_t resident_kib = 0;
};

std::size_t open_descriptors(pid_t pid) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++n;
  }
  return n;
}

// VmRSS of /proc/PID/status, in KiB; 0 when it cannot be read.
std::size_t resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  }
  return 0;
}

footprint measure(pid_t pid) {
  return {open_descriptors(pid), resident_kib(pid)};
}

void print_figures(const char* what, const footprint& before, const footprint& after,
                   std::chrono::steady_clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  std::printf(
      "[ soak     ] %s: descriptors %zu -> %zu, VmRSS %zu -> %zu KiB (%+ld KiB), %.2f s%s\n", what,
      before.descriptors, after.descriptors, before.resident_kib, after.resident_kib,
      static_cast<long>(after.resident_kib) - static_cast<long>(before.resident_kib), seconds,
      kAddressSanitizer ? " [AddressSanitizer]" : "");
  std::fflush(stdout);
}

void expect_no_growth(const footprint& before, const footprint& after) {
  EXPECT_EQ(after.descriptors, before.descriptors) << "the bridge holds more descriptors";
  if (kCheckResidentMemory) {
    EXPECT_LE(after.resident_kib, before.resident_kib + kResidentSlackKib)
        << "the bridge's resident memory grew by more than " << kResidentSlackKib << " KiB";
  }
}

// Stops the bridge as its parent's death does (SIGHUP) while it waits for
// the next message of a connected client: it closes every device and must
// exit 0. Under AddressSanitizer its leak check runs at that exit, so a leak
// anywhere in the run fails here.
void expect_clean_exit(bridge_process& bridge) {
  ASSERT_TRUE(bridge.wait_in_syscall(testing::poll_calls())) << "the bridge is not waiting for a message";
  ASSERT_TRUE(bridge.send_signal(SIGHUP));
  EXPECT_EQ(bridge.wait_exit(), exited(0)) << bridge.stderr_text();
  EXPECT_EQ(bridge.stderr_text(), "");
}

bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

bytes le16(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

// The 16-byte header of a message whose length word says `length`, whatever
// follows it.
bytes header_announcing(std::uint32_t id, std::uint32_t kind, std::uint32_t length) {
  bytes header = be32(id);
  for (const std::uint32_t word : {kind, 0u, length}) {
    const bytes b = be32(word);
    header.insert(header.end(), b.begin(), b.end());
  }
  return header;
}

// The link a driver keeps: Nagle's algorithm off, as scanclient has it. With
// it on, a CLOSE (which gets no reply) holds back the next message until the
// bridge's delayed acknowledgement, some 40 ms later.
link_client as_driver(link_client link) {
  const int on = 1;
  if (link.connected()) ::setsockopt(link.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return link;
}

const bytes kStatusOk = {0x02, 0x00, 0x00, 0x00};

// One DATA with its single reply, which must be `want` with status 0.
void expect_reply(const link_client& link, std::uint32_t id, const bytes& data, const bytes& want) {
  const std::vector<link_reply> replies = exchange(link, id, data, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].status, 0u) << replies[0];
  EXPECT_EQ(replies[0].payload, want) << "device " << id << ", DATA [" << hex(data) << "]";
}

// ESC I: the 4-byte head and the emulator's name for the variant.
void expect_identity(const link_client& link, std::uint32_t id, const std::string& variant) {
  const std::vector<link_reply> replies = exchange(link, id, {ESC, 'I'}, 2);
  ASSERT_EQ(replies.size(), 2u);
  const std::string name = "scanemu " + variant + " 1.2";
  EXPECT_EQ(replies[0].payload, (bytes{0x02, 0x00, static_cast<std::uint8_t>(name.size()), 0x00}))
      << replies[0];
  EXPECT_EQ(std::string(replies[1].payload.begin(), replies[1].payload.end()), name);
}

// ---------------------------------------------------------------------------
// A thousand OPEN/CLOSE cycles

// Each cycle opens a device, asks its status, and closes it: half of them on
// an NT scanner (the session just drops its connection), half on an IS one
// (the session runs the closing exchange). Every OPEN must get id 1 again.
TEST(Soak, ThousandOpenCloseCyclesGrowNeitherDescriptorsNorMemory) {
  constexpr std::size_t kWarmUp = 50;
  constexpr std::size_t kCycles = 1000;
  emulator_process nt("nt");
  emulator_process is("is");
  bridge_process bridge;
  const link_client link = as_driver(link_client::connect_retry(bridge.port()));
  ASSERT_TRUE(link.connected());
  const std::string uris[2] = {nt.uri(), is.uri()};

  std::size_t done = 0;
  const auto cycles = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, ++done) {
      const std::uint32_t id = open_device(link, uris[done % 2]);
      if (id != 1) {
        ADD_FAILURE() << "cycle " << done << ": OPEN " << uris[done % 2] << " answered id " << id;
        return false;
      }
      const std::vector<link_reply> replies = exchange(link, id, {ESC, 'F'}, 1);
      if (replies.size() != 1 || replies[0].status != 0 || replies[0].payload != kStatusOk) {
        ADD_FAILURE() << "cycle " << done << ": ESC F was not answered with 02 00 00 00";
        return false;
      }
      if (!link.send(id, KIND_CLOSE)) {
        ADD_FAILURE() << "cycle " << done << ": cannot send CLOSE";
        return false;
      }
      // The emulators' logs go to pipes that nobody else reads.
      if (done % 64 == 0) {
        nt.log();
        is.log();
      }
    }
    // Everything before it has been handled once the ping comes back.
    return link.ping();
  };

  ASSERT_TRUE(cycles(kWarmUp));
  const footprint before = measure(bridge.pid());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(cycles(kCycles));
  const auto took = std::chrono::steady_clock::now() - start;
  const footprint after = measure(bridge.pid());
  print_figures("1000 OPEN/CLOSE cycles (500 NT, 500 IS)", before, after, took);
  expect_no_growth(before, after);
  EXPECT_EQ(bridge.stderr_text(), "");
  expect_clean_exit(bridge);
}

// ---------------------------------------------------------------------------
// Sixteen devices at once

struct device_run {
  std::uint32_t id = 0;
  std::string variant;
  scan_geometry geometry;
  info_block info;
  std::uint32_t count = 0;  // full blocks still to come before the last
  std::size_t blocks = 0;
  bytes image;
  bool done = false;
};

// Takes one data block into the device's scan.
void take_block(device_run& d, const link_reply& block) {
  ASSERT_EQ(block.id, d.id) << block;
  ASSERT_EQ(block.status, 0u) << block;
  const std::size_t n = block.payload.size();
  ASSERT_TRUE(n == d.info.block_size + 1ull || n == d.info.last_block_size + 1ull)
      << "device " << d.id << ": " << block;
  ASSERT_EQ(block.payload.back(), 0x00) << "device " << d.id;
  d.image.insert(d.image.end(), block.payload.begin(), block.payload.end() - 1);
  ++d.blocks;
  d.done = n == d.info.last_block_size + 1ull && d.count == 0;
  --d.count;
}

// Four emulators, each serving four of the sixteen connections; every device
// sets its own scan area and colour mode, so a block or a setting that went
// to the wrong device shows in its image.
class SixteenDevices : public ::testing::Test {
 protected:
  static constexpr std::size_t kDevices = 16;

  SixteenDevices()
      : scanners_{emulator_process("nt", {"--block-size", "1500"}),
                  emulator_process("is", {"--block-size", "1500"}),
                  emulator_process("nt", {"--block-size", "2400"}),
                  emulator_process("is", {"--block-size", "2400"})} {}

  // One round: open all sixteen, identities and status, settings, scans with
  // the ACKs interleaved across the devices, then close them all.
  void round() {
    std::vector<device_run> devices(kDevices);
    for (std::size_t i = 0; i < kDevices; ++i) {
      device_run& d = devices[i];
      emulator_process& scanner = scanners_[i % 4];
      d.variant = i % 2 == 0 ? "NT" : "IS";
      d.geometry = {static_cast<std::uint32_t>(40 + 4 * i), static_cast<std::uint32_t>(24 + i),
                    (i / 2) % 2 == 0};
      d.id = open_device(link_, scanner.uri());
      ASSERT_EQ(d.id, i + 1) << "OPEN " << scanner.uri();
    }

    for (const device_run& d : devices) {
      ASSERT_NO_FATAL_FAILURE(expect_identity(link_, d.id, d.variant));
    }
    for (const device_run& d : devices) {
      ASSERT_NO_FATAL_FAILURE(expect_reply(link_, d.id, {ESC, 'F'}, kStatusOk));
    }

    // Each setting is a command and then its parameters; message by message,
    // the devices take turns.
    const auto settings = [](const device_run& d) {
      const scan_geometry& g = d.geometry;
      bytes area = le16(0);
      for (const std::uint32_t v : {0u, g.width, g.height}) {
        const bytes b = le16(static_cast<std::uint16_t>(v));
        area.insert(area.end(), b.begin(), b.end());
      }
      bytes resolution = le16(150);
      const bytes y = le16(150);
      resolution.insert(resolution.end(), y.begin(), y.end());
      return std::vector<std::pair<std::uint8_t, bytes>>{
          {'C', {static_cast<std::uint8_t>(g.colour ? 0x01 : 0x00)}},
          {'D', {8}},
          {'R', resolution},
          {'A', area}};
    };
    for (std::size_t step = 0; step < 4; ++step) {
      for (const device_run& d : devices) {
        const auto [letter, value] = settings(d)[step];
        ASSERT_NO_FATAL_FAILURE(expect_reply(link_, d.id, {ESC, letter}, {ACK}));
      }
      for (const device_run& d : devices) {
        const auto [letter, value] = settings(d)[step];
        ASSERT_NO_FATAL_FAILURE(expect_reply(link_, d.id, value, {ACK}));
      }
    }

    // Every scan starts before any of them gets its second block.
    for (device_run& d : devices) {
      const std::vector<link_reply> replies = exchange(link_, d.id, {FS, 'G'}, 2);
      ASSERT_EQ(replies.size(), 2u);
      const std::optional<info_block> info = parse_info_block(replies[0].payload);
      ASSERT_TRUE(info && info->status == 0) << replies[0];
      d.info = *info;
      d.count = info->block_count;
      ASSERT_NO_FATAL_FAILURE(take_block(d, replies[1]));
    }
    for (bool all_done = false; !all_done;) {
      all_done = true;
      const device_run* idle = nullptr;
      for (device_run& d : devices) {
        if (d.done) {
          idle = &d;
          continue;
        }
        const std::vector<link_reply> replies = exchange(link_, d.id, {ACK}, 1);
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_NO_FATAL_FAILURE(take_block(d, replies[0]));
        all_done = all_done && d.done;
      }
      // A device whose scan is over answers between the others' blocks.
      if (idle != nullptr) {
        ASSERT_NO_FATAL_FAILURE(expect_reply(link_, idle->id, {ESC, 'F'}, kStatusOk));
      }
    }
    for (const device_run& d : devices) {
      EXPECT_EQ(compare_with_pattern(d.image, d.geometry), "") << "device " << d.id;
      EXPECT_GE(d.blocks, 1u);
      blocks_ += d.blocks;
    }

    ASSERT_TRUE(link_.ping());
    open_ = measure(bridge_.pid());
    // Closed in an order other than the opening one: the odd ids, then the
    // even ones.
    for (const std::size_t first : {0u, 1u}) {
      for (std::size_t i = first; i < kDevices; i += 2) {
        ASSERT_TRUE(link_.send(devices[i].id, KIND_CLOSE));
      }
    }
    for (emulator_process& scanner : scanners_) scanner.log();
    ASSERT_TRUE(link_.ping());
  }

  emulator_process scanners_[4];
  bridge_process bridge_;
  link_client link_ = as_driver(link_client::connect_retry(bridge_.port()));
  footprint open_;
  std::size_t blocks_ = 0;
};

TEST_F(SixteenDevices, InterleavedCommandsAndScansGrowNeitherDescriptorsNorMemory) {
  constexpr std::size_t kRounds = 3;
  ASSERT_TRUE(link_.connected());
  ASSERT_NO_FATAL_FAILURE(round());  // warm-up
  const footprint before = measure(bridge_.pid());
  blocks_ = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t r = 0; r < kRounds; ++r) {
    ASSERT_NO_FATAL_FAILURE(round()) << "round " << r + 1;
    EXPECT_EQ(open_.descriptors, before.descriptors + kDevices) << "one connection per open device";
  }
  const auto took = std::chrono::steady_clock::now() - start;
  const footprint after = measure(bridge_.pid());
  std::printf("[ soak     ] 16 devices open: %zu descriptors, VmRSS %zu KiB; %zu data blocks\n",
              open_.descriptors, open_.resident_kib, blocks_);
  print_figures("16 devices x 3 rounds (8 NT, 8 IS)", before, after, took);
  expect_no_growth(before, after);
  EXPECT_EQ(bridge_.stderr_text(), "");
  expect_clean_exit(bridge_);
}

// ---------------------------------------------------------------------------
// Clients that leave in the middle

// One client misbehaves and goes; the bridge closes its devices, listens
// again, and the next client is served from id 1. Every client has two
// devices open, one of either variant, when it goes.
class ClientsLeavingEarly : public ::testing::Test {
 protected:
  ClientsLeavingEarly()
      : nt_("nt", {"--block-size", "1000"}), is_("is", {"--block-size", "1000"}) {}

  // A new client with both devices open (ids 1 and 2: the previous client's
  // devices are gone).
  link_client next_client() {
    link_client link = as_driver(bridge_.connect());
    EXPECT_TRUE(link.connected());
    EXPECT_TRUE(link.ping()) << "the bridge does not serve the next client";
    EXPECT_EQ(open_device(link, nt_.uri()), 1u);
    EXPECT_EQ(open_device(link, is_.uri()), 2u);
    nt_.log();
    is_.log();
    return link;
  }

  // Starts a scan on the device and takes its first block, without an ACK.
  static void start_scan(const link_client& link, std::uint32_t id) {
    const std::vector<link_reply> replies = exchange(link, id, {FS, 'G'}, 2);
    ASSERT_EQ(replies.size(), 2u);
    const std::optional<info_block> info = parse_info_block(replies[0].payload);
    ASSERT_TRUE(info && info->status == 0) << replies[0];
    ASSERT_GT(info->block_count, 1u) << "the scan is to go on after its first block";
    ASSERT_EQ(replies[1].payload.size(), info->block_size + 1ull) << replies[1];
  }

  // A good client after a bad one: a whole scan on each device.
  void expect_served() {
    link_client link = next_client();
    ASSERT_TRUE(link.connected());
    ASSERT_NO_FATAL_FAILURE(expect_identity(link, 1, "NT"));
    ASSERT_NO_FATAL_FAILURE(expect_identity(link, 2, "IS"));
    for (const std::uint32_t id : {1u, 2u}) {
      std::size_t blocks = 0;
      const std::optional<bytes> image = scan_with_acks(link, id, &blocks);
      ASSERT_TRUE(image);
      EXPECT_EQ(compare_with_pattern(*image, {850, 1100, false}), "") << "device " << id;
    }
    ASSERT_TRUE(link.leave());
  }

  // The figures while a client with no devices is served: once a new client
  // is served, the bridge has closed everything of the last one, and it makes
  // its next listening socket only when that client has gone.
  footprint measure_between_clients() {
    link_client link = as_driver(bridge_.connect());
    EXPECT_TRUE(link.ping());
    const footprint now = measure(bridge_.pid());
    EXPECT_TRUE(link.leave());
    return now;
  }

  emulator_process nt_;
  emulator_process is_;
  bridge_process bridge_;
};

TEST_F(ClientsLeavingEarly, TheBridgeStaysUpAndServesTheNextClientFromIdOne) {
  ASSERT_NO_FATAL_FAILURE(expect_served());  // warm-up
  const footprint before = measure_between_clients();
  const auto start = std::chrono::steady_clock::now();

  struct misbehaviour {
    const char* name;
    void (*act)(link_client& link);
  };
  const misbehaviour cases[] = {
      {"half a header, then end of stream",
       [](link_client& link) {
         const bytes header = link_message(1, KIND_DATA, {ESC, 'I'});
         ASSERT_TRUE(link.send_raw(bytes(header.begin(), header.begin() + 8)));
         ASSERT_TRUE(link.leave());
       }},
      {"half a header, then a reset",
       [](link_client& link) {
         const bytes header = link_message(2, KIND_DATA, {ESC, 'F'});
         ASSERT_TRUE(link.send_raw(bytes(header.begin(), header.begin() + 7)));
         link.reset();
       }},
      {"mid-scan on both devices, then end of stream",
       [](link_client& link) {
         ASSERT_NO_FATAL_FAILURE(start_scan(link, 1));
         ASSERT_NO_FATAL_FAILURE(start_scan(link, 2));
         ASSERT_TRUE(link.leave());
       }},
      {"mid-scan on both devices, then a reset",
       [](link_client& link) {
         ASSERT_NO_FATAL_FAILURE(start_scan(link, 2));
         ASSERT_NO_FATAL_FAILURE(start_scan(link, 1));
         link.reset();
       }},
      {"DATA announcing 1000 bytes, 10 sent, then end of stream",
       [](link_client& link) {
         bytes message = header_announcing(1, KIND_DATA, 1000);
         message.insert(message.end(), 10, ESC);
         ASSERT_TRUE(link.send_raw(message));
         ASSERT_TRUE(link.leave());
       }},
      {"OPEN announcing 64 KiB, 18 bytes of a URI sent, then a reset",
       [](link_client& link) {
         bytes message = header_announcing(0, KIND_OPEN, 64 * 1024);
         const bytes uri = text_bytes("net://127.0.0.1:1/");
         message.insert(message.end(), uri.begin(), uri.end());
         ASSERT_TRUE(link.send_raw(message));
         link.reset();
       }},
      // The bridge allocates what the header announces (zero-filled pages
      // that are never touched); a refused allocation fails the read instead.
      {"DATA announcing 4 GiB - 1, 3 bytes sent, then end of stream",
       [](link_client& link) {
         bytes message = header_announcing(2, KIND_DATA, 0xFFFFFFFF);
         message.insert(message.end(), {ESC, 'I', 0x00});
         ASSERT_TRUE(link.send_raw(message));
         ASSERT_TRUE(link.leave());
       }},
  };
  for (const misbehaviour& c : cases) {
    SCOPED_TRACE(c.name);
    {
      link_client link = next_client();
      ASSERT_TRUE(link.connected());
      ASSERT_NO_FATAL_FAILURE(c.act(link));
    }
    ASSERT_TRUE(bridge_.running());
    ASSERT_NO_FATAL_FAILURE(expect_served());
  }

  const auto took = std::chrono::steady_clock::now() - start;
  const footprint after = measure_between_clients();
  print_figures("7 clients leaving early, each followed by 2 good scans", before, after, took);
  expect_no_growth(before, after);
  EXPECT_EQ(bridge_.stderr_text(), "");
  const link_client last = as_driver(bridge_.connect());
  ASSERT_TRUE(last.ping());
  expect_clean_exit(bridge_);
}

}  // namespace
}  // namespace scanbridge::testing
