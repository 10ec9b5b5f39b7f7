// SPDX-License-Identifier: MIT
// The scan command, letter 'G': relays the scanner's information block and
// every image data block to the client, with the client's ACK 0x06 between
// blocks and CAN 0x18 to stop the scan.
#ifndef SCANBRIDGE_COMMANDS_COMMAND_SCAN_H_
#define SCANBRIDGE_COMMANDS_COMMAND_SCAN_H_

#include <cstddef>
#include <cstdint>

#include "commands/command.h"

namespace scanbridge {

// The scanner's first answer to a scan: STX, a status byte, then three
// little-endian 32-bit sizes (block_size, block_count, last_block_size).
inline constexpr std::size_t INFO_BLOCK_SIZE = 14;

// NT. After the command the scanner sends the blocks by itself; the bridge
// only reads them. The client's ACKs are not passed on: each one lets the
// driver read the next block. A data block is block_size + 1 or
// last_block_size + 1 bytes, its last byte the block's status.
//
// States: INITIAL -> start -> WAIT_SCANNER -> information block ->
// WAIT_SCANNER (or FINISHED on an error status) -> data block -> WAIT_CLIENT
// (or FINISHED at the end of the scan) -> ACK or CAN -> WAIT_SCANNER ...
// After CAN, WAIT_SCANNER lasts until the scanner answers the cancel.
class command_scan : public command {
 public:
  command_scan(int letter, int prefix);
  ~command_scan() override;

  action client_data(const std::uint8_t* bytes, std::size_t size) override;
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;
  // Called once the information block has announced the block sizes; returns
  // the action for the driver. NT needs nothing sent.
  virtual action request_data();
  // Queues the cancel for the scanner.
  virtual void queue_cancel();

  std::uint32_t block_size() const { return block_size_; }
  std::uint32_t block_count() const { return block_count_; }
  std::uint32_t last_block_size() const { return last_block_size_; }
  std::uint16_t cancel_type() const { return cancel_type_; }
  std::uint16_t cancel_reply_type() const { return cancel_reply_type_; }
  bool cancelled() const { return cancelled_; }

 protected:
  // For the variants: the packet types the command is sent and answered with,
  // the action that sends a cancel and the packet type of its answer.
  command_scan(int letter, int prefix, std::uint16_t send_type, std::uint8_t reply_type,
               std::uint16_t cancel_type, std::uint16_t cancel_reply_type);

  // Size of a full data block, without its status byte.
  std::uint32_t block_size_ = 0;
  // Full blocks still to come before the last block. Wraps from 0 to
  // 2^32 - 1 on the block after the count ran out.
  std::uint32_t block_count_ = 0;
  // Size of the last data block, without its status byte.
  std::uint32_t last_block_size_ = 0;
  std::uint16_t cancel_type_;
  std::uint16_t cancel_reply_type_;
  // The client has cancelled.
  bool cancelled_ = false;
  // An information block has been taken: the scan has started, and from now
  // on a 14-byte reply beginning with STX is a data block like any other.
  bool started_ = false;

 private:
  // A data block was accepted: queue it for the client and decide from its
  // status byte and the block count whether the scan has ended.
  void take_block_(byte_array payload, std::size_t size);
};

// IS. Every chunk for the scanner gets the 8-byte header. Once the
// information block is in, the command sends one transfer request that
// describes the whole sequence of blocks; the blocks then come as packets of
// type 0xA2, and a cancel goes out as a transfer packet with flag 1.
class command_scan_is : public command_scan {
 public:
  command_scan_is(int letter, int prefix);
  ~command_scan_is() override;

  void push_chunk(byte_array bytes, std::size_t size) override;
  // Queues the transfer request (28, 29 or 30 bytes) and returns
  // ACTION_SEND_TRANSFER; from then on the command is answered with 0xA2.
  action request_data() override;
  void queue_cancel() override;

  std::uint64_t reply_size() const { return reply_size_; }

 private:
  // Low 32 bits go in the header of every chunk: the reply bytes expected.
  std::uint64_t reply_size_ = INFO_BLOCK_SIZE;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_COMMAND_SCAN_H_
