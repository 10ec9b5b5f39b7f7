// SPDX-License-Identifier: MIT
// Two devices open at once on one bridge, an NT and an IS scanner, with their
// commands and scans interleaved message by message.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"
#include "tests/support/bridge_process.h"

namespace scanbridge::testing {
namespace {

struct scan_progress {
  std::uint32_t id = 0;
  info_block info;
  std::uint32_t count = 0;
  bytes image;
  bool done = false;
};

// Takes one data block into the scan and tells whether it was the last.
void take_block(scan_progress& scan, const link_reply& block) {
  ASSERT_EQ(block.id, scan.id);
  ASSERT_EQ(block.status, 0u);
  const std::size_t n = block.payload.size();
  ASSERT_TRUE(n == scan.info.block_size + 1ull || n == scan.info.last_block_size + 1ull) << block;
  ASSERT_EQ(block.payload.back(), 0x00);
  scan.image.insert(scan.image.end(), block.payload.begin(), block.payload.end() - 1);
  scan.done = n == scan.info.last_block_size + 1ull && scan.count == 0;
  --scan.count;
}

void start_scan(const link_client& link, scan_progress& scan) {
  const std::vector<link_reply> replies = exchange(link, scan.id, {FS, 'G'}, 2);
  ASSERT_EQ(replies.size(), 2u);
  const std::optional<info_block> info = parse_info_block(replies[0].payload);
  ASSERT_TRUE(info) << replies[0];
  scan.info = *info;
  scan.count = info->block_count;
  take_block(scan, replies[1]);
}

void next_block(const link_client& link, scan_progress& scan) {
  const std::vector<link_reply> replies = exchange(link, scan.id, {ACK}, 1);
  ASSERT_EQ(replies.size(), 1u);
  take_block(scan, replies[0]);
}

TEST(TwoDevices, InterleavedCommandsAndScansOnOneBridge) {
  // Different images and block sizes, so that a block sent to the wrong device
  // shows.
  emulator_process nt("nt",
                      {"--width", "64", "--height", "48", "--colour", "--block-size", "2000"});
  emulator_process is("is",
                      {"--width", "200", "--height", "150", "--grey", "--block-size", "3000"});
  bridge_process bridge;
  const link_client link = link_client::connect_retry(bridge.port());
  ASSERT_TRUE(link.connected());
  const std::uint32_t nt_id = open_device(link, nt.uri());
  const std::uint32_t is_id = open_device(link, is.uri());
  ASSERT_EQ(nt_id, 1u);
  ASSERT_EQ(is_id, 2u);

  const std::pair<std::uint32_t, std::string> identities[] = {{is_id, "scanemu IS 1.2"},
                                                              {nt_id, "scanemu NT 1.2"}};
  for (const auto& [id, name] : identities) {
    const std::vector<link_reply> replies = exchange(link, id, {ESC, 'I'}, 2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(std::string(replies[1].payload.begin(), replies[1].payload.end()), name);
  }

  // Both scans at once, one message at a time for either device.
  scan_progress nt_scan;
  nt_scan.id = nt_id;
  scan_progress is_scan;
  is_scan.id = is_id;
  ASSERT_NO_FATAL_FAILURE(start_scan(link, nt_scan));
  ASSERT_NO_FATAL_FAILURE(start_scan(link, is_scan));
  EXPECT_EQ(nt_scan.info.block_count, 4u);  // 9216 bytes: 4 x 2000 + 1216
  EXPECT_EQ(is_scan.info.block_count, 9u);  // 30000 bytes: 9 x 3000 + 3000
  while (!nt_scan.done || !is_scan.done) {
    if (!nt_scan.done) {
      ASSERT_NO_FATAL_FAILURE(next_block(link, nt_scan));
    }
    if (!is_scan.done) {
      ASSERT_NO_FATAL_FAILURE(next_block(link, is_scan));
    }
    // A device whose scan is over answers commands between the other's blocks.
    const scan_progress& idle = nt_scan.done ? nt_scan : is_scan;
    if (!idle.done || (nt_scan.done && is_scan.done)) continue;
    const std::vector<link_reply> status = exchange(link, idle.id, {ESC, 'F'}, 1);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].payload, (bytes{0x02, 0x00, 0x00, 0x00}));
  }
  EXPECT_EQ(compare_with_pattern(nt_scan.image, {64, 48, true}), "");
  EXPECT_EQ(compare_with_pattern(is_scan.image, {200, 150, false}), "");

  // Closing one leaves the other open; the freed id is given out again.
  ASSERT_TRUE(link.send(nt_id, KIND_CLOSE));
  ASSERT_TRUE(link.send(nt_id, KIND_DATA, {ESC, 'I'}));
  EXPECT_EQ(link.receive(), (link_reply{0, 0, 0xFFFFFFFF, 1, {NAK}}));
  const std::vector<link_reply> replies = exchange(link, is_id, {ESC, 'F'}, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].payload, (bytes{0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(open_device(link, nt.uri()), 1u);
}

}  // namespace
}  // namespace scanbridge::testing
