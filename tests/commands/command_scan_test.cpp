// SPDX-License-Identifier: MIT
#include "commands/command_scan.h"

#include <gtest/gtest.h>

#include "tests/commands/command_testing.h"
#include "wire/codes.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;
using st = enum command::state;

constexpr std::uint8_t NT_DATA = 0x89;
constexpr std::uint8_t IS_DATA = 0xA2;

void put_le32(bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bytes info_block(std::uint8_t status, std::uint32_t block_size, std::uint32_t block_count,
                 std::uint32_t last_block_size) {
  bytes b(14, 0);
  b[0] = STX;
  b[1] = status;
  put_le32(b, 2, block_size);
  put_le32(b, 6, block_count);
  put_le32(b, 10, last_block_size);
  return b;
}

// A data block of size bytes: image bytes, then the status byte.
bytes data_block(std::size_t size, std::uint8_t status = 0) {
  bytes b = counting(size, static_cast<std::uint8_t>(size));
  b.back() = status;
  return b;
}

// Starts an NT scan and feeds it the information block; the command bytes
// are drained, the information block stays queued.
void start_nt(command_scan& cmd, const bytes& info) {
  ASSERT_EQ(cmd.start(), 0x08);
  ASSERT_EQ(drain(cmd), (std::vector<bytes>{{cmd.prefix(), 0x47}}));
  ASSERT_EQ(reply(cmd, NT_DATA, info), ACTION_ACCEPTED);
  ASSERT_EQ(cmd.state(), st::WAIT_SCANNER);
}

// command_scan ----------------------------------------------------------

// Once the scan has started, a 14-byte reply beginning with STX is a data
// block: with a block size of 13 it is the next block, not a new scan.
TEST(command_scan, DataBlockThatLooksLikeAnInformationBlock) {
  command_scan cmd('G', ESC);
  start_nt(cmd, info_block(0, 13, 1, 13));
  bytes lookalike = info_block(0, 99, 99, 99);
  lookalike.back() = 0;  // status byte: more to come by the count
  EXPECT_EQ(reply(cmd, NT_DATA, lookalike), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(cmd.block_size(), 13u);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{info_block(0, 13, 1, 13), lookalike}));
}

TEST(command_scan, NtScanOfTwoFullBlocksAndLastBlock) {
  command_scan cmd('G', FS);
  EXPECT_EQ(cmd.send_type(), 0x08);
  EXPECT_EQ(cmd.reply_type(), NT_DATA);
  const bytes info = {0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02,
                      0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  start_nt(cmd, info);
  EXPECT_EQ(cmd.block_size(), 512u);
  EXPECT_EQ(cmd.block_count(), 2u);
  EXPECT_EQ(cmd.last_block_size(), 256u);

  // The information block reaches the client together with the first block.
  const bytes first = data_block(513);
  EXPECT_EQ(reply(cmd, NT_DATA, first), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{info, first}));

  // ACKs are not passed on: nothing is queued, the driver just reads on.
  EXPECT_EQ(send(cmd, {ACK}), ACTION_IGNORED);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_TRUE(cmd.empty());
  const bytes second = data_block(513);
  EXPECT_EQ(reply(cmd, NT_DATA, second), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{second}));

  EXPECT_EQ(send(cmd, {ACK}), ACTION_IGNORED);
  const bytes last = data_block(257);
  EXPECT_EQ(reply(cmd, NT_DATA, last), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{last}));
  // The count runs below zero on the last block.
  EXPECT_EQ(cmd.block_count(), 0xFFFFFFFFu);

  EXPECT_EQ(send(cmd, {ACK}), ACTION_IGNORED);
  EXPECT_EQ(reply(cmd, NT_DATA, last), ACTION_IGNORED);
  EXPECT_TRUE(cmd.empty());
}

TEST(command_scan, DataBlockIsRelayedInItsOwnArray) {
  command_scan cmd('G', ESC);
  start_nt(cmd, info_block(0, 512, 1, 256));
  drain(cmd);
  byte_array block = array_of(data_block(513));
  const std::uint8_t* where = block.get();
  cmd.scanner_reply(NT_DATA, std::move(block), 513);
  EXPECT_EQ(cmd.front().bytes.get(), where);
}

struct status_case {
  std::uint8_t status;
  st after;
};

class command_scan_status : public ::testing::TestWithParam<status_case> {};

// A non-zero status decides on its own, on any block: only bit 4 with bits 7
// and 6 clear lets the scan go on.
TEST_P(command_scan_status, NonZeroStatusDecides) {
  for (std::size_t size : {513u, 257u}) {
    command_scan cmd('G', FS);
    start_nt(cmd, info_block(0, 512, 2, 256));
    EXPECT_EQ(reply(cmd, NT_DATA, data_block(size, GetParam().status)), ACTION_ACCEPTED);
    EXPECT_EQ(cmd.state(), GetParam().after) << size;
    EXPECT_EQ(cmd.size(), 2u);
    EXPECT_EQ(cmd.block_count(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    all, command_scan_status,
    ::testing::Values(status_case{0x10, st::WAIT_CLIENT}, status_case{0x30, st::WAIT_CLIENT},
                      status_case{0x1F, st::WAIT_CLIENT}, status_case{0x80, st::FINISHED},
                      status_case{0x90, st::FINISHED}, status_case{0x50, st::FINISHED},
                      status_case{0x20, st::FINISHED}, status_case{0x01, st::FINISHED}));

TEST(command_scan, LastBlockWithMoreStatusKeepsWaiting) {
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 512, 0, 256));
  EXPECT_EQ(reply(cmd, NT_DATA, data_block(257, 0x10)), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
}

TEST(command_scan, CountRunsOutAndWraps) {
  // No full block announced, but one comes: the count wraps to 2^32 - 1, and
  // the last block no longer ends the scan by its size.
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 512, 0, 256));
  reply(cmd, NT_DATA, data_block(513));
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(cmd.block_count(), 0xFFFFFFFFu);
  send(cmd, {ACK});
  reply(cmd, NT_DATA, data_block(257));
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(cmd.block_count(), 0xFFFFFFFEu);
}

TEST(command_scan, EqualSizesOnlyCountTellsLastBlock) {
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 100, 1, 100));
  reply(cmd, NT_DATA, data_block(101));
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  send(cmd, {ACK});
  reply(cmd, NT_DATA, data_block(101));
  EXPECT_EQ(cmd.state(), st::FINISHED);
}

TEST(command_scan, InformationBlockWithErrorStatusEndsScan) {
  for (std::uint8_t status : bytes{0x40, 0x80, 0xC0}) {
    command_scan cmd('G', FS);
    cmd.start();
    drain(cmd);
    const bytes info = info_block(status, 512, 2, 256);
    EXPECT_EQ(reply(cmd, NT_DATA, info), ACTION_ACCEPTED);
    EXPECT_EQ(cmd.state(), st::FINISHED);
    EXPECT_EQ(drain(cmd), (std::vector<bytes>{info}));
    EXPECT_EQ(cmd.block_size(), 0u);
  }
}

TEST(command_scan, BeforeInformationBlockOneByteIsDataBlock) {
  command_scan nak('G', FS);
  nak.start();
  drain(nak);
  EXPECT_EQ(reply(nak, NT_DATA, {NAK}), ACTION_ACCEPTED);
  EXPECT_EQ(nak.state(), st::WAIT_CLIENT);  // 0x15 & 0xD0 == 0x10
  EXPECT_EQ(drain(nak), (std::vector<bytes>{{NAK}}));

  command_scan ack('G', FS);
  ack.start();
  drain(ack);
  EXPECT_EQ(reply(ack, NT_DATA, {ACK}), ACTION_ACCEPTED);
  EXPECT_EQ(ack.state(), st::FINISHED);
  EXPECT_EQ(drain(ack), (std::vector<bytes>{{ACK}}));
}

TEST(command_scan, ReplyOfNoAnnouncedSizeEndsScanSilently) {
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 512, 2, 256));
  drain(cmd);
  EXPECT_EQ(reply(cmd, NT_DATA, data_block(300)), ACTION_IGNORED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_TRUE(cmd.empty());
}

TEST(command_scan, EmptyReplyIsNeverDataBlock) {
  // block_size + 1 wraps to 0, but an empty reply has no status byte.
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 0xFFFFFFFF, 2, 0xFFFFFFFF));
  drain(cmd);
  EXPECT_EQ(cmd.scanner_reply(NT_DATA, nullptr, 0), ACTION_IGNORED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_TRUE(cmd.empty());
}

TEST(command_scan, WrongTypeOrStateFailsAndChangesNothing) {
  command_scan cmd('G', FS);
  EXPECT_EQ(reply(cmd, NT_DATA, data_block(1)), ACTION_FAIL);  // INITIAL
  start_nt(cmd, info_block(0, 512, 2, 256));
  EXPECT_EQ(reply(cmd, 0x81, data_block(513)), ACTION_FAIL);
  EXPECT_EQ(send(cmd, {ACK}), ACTION_FAIL);  // WAIT_SCANNER
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(cmd.size(), 1u);
  reply(cmd, NT_DATA, data_block(513));
  EXPECT_EQ(reply(cmd, NT_DATA, data_block(513)), ACTION_FAIL);  // WAIT_CLIENT
  EXPECT_EQ(cmd.client_data(nullptr, 1), ACTION_FAIL);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(cmd.size(), 2u);
  EXPECT_EQ(cmd.block_count(), 1u);
}

TEST(command_scan, ClientBytesOtherThanAckOrCanFail) {
  for (const bytes& b : {bytes{NAK}, bytes{ACK, ACK}, bytes{CAN, 0}}) {
    command_scan cmd('G', FS);
    start_nt(cmd, info_block(0, 512, 2, 256));
    reply(cmd, NT_DATA, data_block(513));
    drain(cmd);
    EXPECT_EQ(send(cmd, b), ACTION_FAIL);
    EXPECT_EQ(cmd.state(), st::FINISHED);
    EXPECT_TRUE(cmd.empty());
  }
  // No bytes at all, but a real array: neither ACK nor CAN.
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 512, 2, 256));
  reply(cmd, NT_DATA, data_block(513));
  const std::uint8_t none[1] = {ACK};
  EXPECT_EQ(cmd.client_data(none, 0), ACTION_FAIL);
  EXPECT_EQ(cmd.state(), st::FINISHED);
}

TEST(command_scan, NtCancelDropsBlocksInFlightAndAcksClient) {
  for (std::uint8_t answer : {NAK, ACK}) {
    command_scan cmd('G', FS);
    start_nt(cmd, info_block(0, 512, 2, 256));
    reply(cmd, NT_DATA, data_block(513));
    drain(cmd);

    EXPECT_EQ(send(cmd, {CAN}), 0x01);
    EXPECT_TRUE(cmd.cancelled());
    EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
    EXPECT_EQ(drain(cmd), (std::vector<bytes>{{CAN}}));

    EXPECT_EQ(reply(cmd, NT_DATA, data_block(513)), ACTION_IGNORED);
    EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
    EXPECT_TRUE(cmd.empty());

    EXPECT_EQ(reply(cmd, 0x81, {answer}), ACTION_ACCEPTED);
    EXPECT_EQ(cmd.state(), st::FINISHED);
    EXPECT_EQ(drain(cmd), (std::vector<bytes>{{ACK}}));
  }
}

TEST(command_scan, AfterCancelOtherRepliesAreJudgedBySizeAlone) {
  command_scan cmd('G', FS);
  start_nt(cmd, info_block(0, 512, 2, 256));
  reply(cmd, NT_DATA, data_block(513));
  send(cmd, {CAN});
  drain(cmd);
  // The cancel answer's type, but not one ACK or NAK byte: taken as a block.
  EXPECT_EQ(reply(cmd, 0x81, data_block(257)), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(cmd.size(), 1u);

  command_scan other('G', FS);
  start_nt(other, info_block(0, 512, 2, 256));
  reply(other, NT_DATA, data_block(513));
  send(other, {CAN});
  drain(other);
  EXPECT_EQ(reply(other, 0x81, {CAN}), ACTION_IGNORED);
  EXPECT_EQ(other.state(), st::FINISHED);
  EXPECT_TRUE(other.empty());
}

// command_scan_is -------------------------------------------------------

TEST(command_scan_is, CommandAskedForInformationBlock) {
  command_scan_is cmd('G', FS);
  EXPECT_EQ(cmd.reply_size(), 14u);
  EXPECT_EQ(cmd.reply_type(), 0xA0);
  EXPECT_EQ(cmd.start(), packet_type::IS_ESC_THRU);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 2, 0, 0, 0, 0x0E, 0x1C, 0x47}}));
}

struct transfer_case {
  const char* name;
  std::uint32_t block_count;
  bytes request;  // without its 8-byte prefix
};

class command_scan_is_transfer : public ::testing::TestWithParam<transfer_case> {};

TEST_P(command_scan_is_transfer, RequestQueuedAheadOfInformationBlock) {
  const transfer_case& c = GetParam();
  command_scan_is cmd('G', FS);
  cmd.start();
  drain(cmd);
  const bytes info = info_block(0, 512, c.block_count, 100);
  EXPECT_EQ(reply(cmd, 0xA0, info), ACTION_SEND_TRANSFER);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(cmd.send_type(), packet_type::TRANSFER);
  EXPECT_EQ(cmd.reply_type(), IS_DATA);
  EXPECT_EQ(cmd.reply_size(), 0u);
  const auto n = static_cast<std::uint8_t>(c.request.size());
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{cat({{0, 0, 0, n, 0, 0, 0, 0}, c.request}), info}));
}

INSTANTIATE_TEST_SUITE_P(
    all, command_scan_is_transfer,
    ::testing::Values(
        transfer_case{"none", 0, cat({bytes(24, 0), {0, 0, 0, 0x65}})},
        transfer_case{"one", 1,
                      cat({{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x02, 0x01},
                           bytes(8, 0),
                           {0, 0, 0, 1, 0, 0, 0, 0x65, 0x06}})},
        transfer_case{"two", 2, {0, 0, 0, 2,    0,    0,    0, 0, 0, 0, 0x02, 0x01, 0, 0,    0,
                                 1, 0, 0, 0x02, 0x01, 0x06, 0, 0, 0, 1, 0,    0,    0, 0x65, 0x06}},
        transfer_case{"many", 0x01020304, {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0,    0,
                                           0x02, 0x01, 0,    0,    0, 1, 0, 0, 0x02, 0x01,
                                           0x06, 0,    0,    0,    1, 0, 0, 0, 0x65, 0x06}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(command_scan_is, BlockSizesWrapInRequest) {
  command_scan_is cmd('G', FS);
  cmd.start();
  drain(cmd);
  reply(cmd, 0xA0, info_block(0, 0xFFFFFFFF, 0, 0xFFFFFFFF));
  EXPECT_EQ(pop_front(cmd), cat({{0, 0, 0, 0x1C, 0, 0, 0, 0}, bytes(28, 0)}));
}

TEST(command_scan_is, ErrorStatusSendsNoTransferRequest) {
  command_scan_is cmd('G', FS);
  cmd.start();
  drain(cmd);
  const bytes info = info_block(0x40, 512, 2, 256);
  EXPECT_EQ(reply(cmd, 0xA0, info), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{info}));
  EXPECT_EQ(cmd.send_type(), packet_type::IS_ESC_THRU);
}

// Runs an IS scan up to the first block, which waits for the client.
void start_is(command_scan_is& cmd) {
  cmd.start();
  reply(cmd, 0xA0, info_block(0, 512, 2, 256));
  drain(cmd);
  ASSERT_EQ(reply(cmd, IS_DATA, data_block(513)), ACTION_ACCEPTED);
  ASSERT_EQ(cmd.state(), st::WAIT_CLIENT);
  drain(cmd);
}

// A second information block after the transfer request went out does not
// re-announce the scan: the queue keeps only the first information block for
// the client, and nothing is queued ahead of it for the scanner.
TEST(command_scan_is, SecondInformationBlockIsNotANewScan) {
  command_scan_is cmd('G', FS);
  cmd.start();
  drain(cmd);
  const bytes info = info_block(0, 512, 2, 256);
  ASSERT_EQ(reply(cmd, 0xA0, info), ACTION_SEND_TRANSFER);
  pop_front(cmd);  // the transfer request, sent by the driver
  EXPECT_EQ(reply(cmd, IS_DATA, info), ACTION_IGNORED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{info}));
}

TEST(command_scan_is, BlocksComeAsTransferReplies) {
  command_scan_is cmd('G', FS);
  start_is(cmd);
  EXPECT_EQ(send(cmd, {ACK}), ACTION_IGNORED);
  EXPECT_TRUE(cmd.empty());  // the transfer request already asked for every block
  EXPECT_EQ(reply(cmd, 0xA0, data_block(513)), ACTION_FAIL);
  EXPECT_EQ(reply(cmd, IS_DATA, data_block(513)), ACTION_ACCEPTED);
  send(cmd, {ACK});
  EXPECT_EQ(reply(cmd, IS_DATA, data_block(257)), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
}

TEST(command_scan_is, CancelGoesOutAsTransferCancel) {
  for (std::uint8_t answer : {ACK, NAK}) {
    command_scan_is cmd('G', FS);
    start_is(cmd);
    EXPECT_EQ(send(cmd, {CAN}), ACTION_SEND_TRANSFER_CANCEL);
    EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
    EXPECT_EQ(cmd.reply_size(), 1u);
    EXPECT_EQ(cmd.cancel_reply_type(), IS_DATA);
    EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 1, 0, 0, 0, 1, CAN}}));

    EXPECT_EQ(reply(cmd, IS_DATA, data_block(513)), ACTION_IGNORED);
    EXPECT_TRUE(cmd.empty());
    EXPECT_EQ(reply(cmd, IS_DATA, {answer}), ACTION_ACCEPTED);
    EXPECT_EQ(cmd.state(), st::FINISHED);
    EXPECT_EQ(drain(cmd), (std::vector<bytes>{{ACK}}));
  }
}

}  // namespace
}  // namespace scanbridge
