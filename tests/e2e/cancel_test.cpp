// SPDX-License-Identifier: MIT
// Cancelled scans: CAN from a driver between blocks, message by message
// through the bridge, and Ctrl-C in scanclient.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"
#include "tests/support/bridge_process.h"

namespace scanbridge::testing {
namespace {

class CancelledScan : public ::testing::TestWithParam<const char*> {};

bytes block_of(const bytes& image, std::size_t offset, std::size_t size) {
  bytes block(image.begin() + static_cast<std::ptrdiff_t>(offset),
              image.begin() + static_cast<std::ptrdiff_t>(offset + size));
  block.push_back(0x00);  // status
  return block;
}

TEST_P(CancelledScan, CanBetweenBlocksIsAnsweredWithAckAndTheDeviceGoesOn) {
  const std::string variant = GetParam();
  // 3072 bytes: six blocks of 500 and one of 72.
  emulator_process scanner(variant,
                           {"--width", "64", "--height", "48", "--grey", "--block-size", "500"});
  bridge_process bridge;
  const link_client link = link_client::connect_retry(bridge.port());
  ASSERT_TRUE(link.connected());
  const std::uint32_t id = open_device(link, scanner.uri());
  ASSERT_EQ(id, 1u);
  const bytes image = expected_image({64, 48, false});

  // The information block and the first block answer the scan command.
  std::vector<link_reply> replies = exchange(link, id, {FS, 'G'}, 2);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(hex(replies[0].payload), "02 00 F4 01 00 00 06 00 00 00 48 00 00 00");
  EXPECT_EQ(replies[0].status, 0u);
  EXPECT_EQ(replies[1].payload, block_of(image, 0, 500));
  for (std::size_t block = 1; block < 3; ++block) {
    replies = exchange(link, id, {ACK}, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 0u);
    EXPECT_EQ(replies[0].payload, block_of(image, block * 500, 500)) << "block " << block + 1;
  }

  // CAN: the blocks still on their way are dropped, the scanner's answer to
  // the cancel reaches the driver as one ACK, and nothing else follows.
  replies = exchange(link, id, {CAN}, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], (link_reply{id, 0, 0, 1, {ACK}}));
  EXPECT_TRUE(link.ping());

  // The same device takes a new command, and a whole new scan.
  replies = exchange(link, id, {ESC, 'I'}, 2);
  ASSERT_EQ(replies.size(), 2u);
  const std::string identity = "scanemu " + std::string(variant == "nt" ? "NT" : "IS") + " 1.2";
  EXPECT_EQ(replies[0].payload,
            (bytes{0x02, 0x00, static_cast<std::uint8_t>(identity.size()), 0x00}));
  EXPECT_EQ(replies[1].payload, text_bytes(identity));
  std::size_t blocks = 0;
  const std::optional<bytes> scanned = scan_with_acks(link, id, &blocks);
  ASSERT_TRUE(scanned);
  EXPECT_EQ(blocks, 7u);
  EXPECT_EQ(compare_with_pattern(*scanned, {64, 48, false}), "");
  EXPECT_TRUE(link.ping());
  EXPECT_TRUE(bridge.running());
}

TEST_P(CancelledScan, CtrlCInScanclientCancelsAfterTheCurrentBlock) {
  // A slow scanner: 31 blocks at 100 ms each, so the scan is still far from
  // its end when the test has seen the first block and sends SIGINT.
  emulator_process scanner(GetParam(), {"--delay-ms", "100", "--block-size", "100"});
  const temp_file image("cancelled.pnm");
  spawned_process client(
      scanclient_command({"--trace", "scan", scanner.uri(), "--output", image.path(), "--width",
                          "64", "--height", "48", "--grey"}));
  ASSERT_TRUE(client.wait_for_stderr("block 1/31", 30s)) << client.stderr_text();
  ASSERT_TRUE(client.send_signal(SIGINT));

  EXPECT_EQ(client.finish(30s), exited(130));
  const std::string err = client.stderr_text();
  EXPECT_NE(err.find("-> DATA id=1 len=1  18  CAN (cancel)"), std::string::npos) << err;
  EXPECT_NE(err.find("<- reply id=1 status=0 len=1  06  CAN: ACK"), std::string::npos) << err;
  const std::vector<std::string> lines = lines_of(err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("scanclient: scan cancelled after ", 0), 0u) << err;
  EXPECT_NE(lines.back().find(" of 3072 bytes"), std::string::npos) << err;
  EXPECT_NE(::access(image.path().c_str(), F_OK), 0) << "no image is written";
}

INSTANTIATE_TEST_SUITE_P(BothVariants, CancelledScan, ::testing::Values("nt", "is"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param);
                         });

}  // namespace
}  // namespace scanbridge::testing
