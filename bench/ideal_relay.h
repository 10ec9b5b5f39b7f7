// SPDX-License-Identifier: MIT
// The ideal relay: the least work any bridge must do for the exchanges the
// benchmark drives. It runs as a process of its own, started like the bridge
// (it prints its loopback port as its first line and serves one driver), so
// that the driver code, the scanner and the process layout are the same for
// both and only the relay differs.
//
// Per scan block it makes exactly three calls: one read of the driver's ACK,
// one read of the block with its packet header from the scanner, straight
// into the reply buffer four bytes in, and one write of that buffer to the
// driver once the 16-byte link header has been written over the packet
// header. Per ESC @ it makes four: read, write, read, write. Both of its
// sockets have TCP_NODELAY, set once at connection: every message leaves in
// one write, so Nagle's algorithm could only hold it back.
#ifndef SCANBRIDGE_BENCH_IDEAL_RELAY_H_
#define SCANBRIDGE_BENCH_IDEAL_RELAY_H_

namespace scanbridge::bench {

// The process entry of the ideal relay (scanbench --ideal-relay). Returns
// the exit status: 0 when the driver closed the link after a clean session.
int ideal_relay_main();

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_IDEAL_RELAY_H_
