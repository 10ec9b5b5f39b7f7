// SPDX-License-Identifier: MIT
// The one TCP socket wrapper of the bridge.
#ifndef SCANBRIDGE_NET_ENDPOINT_H_
#define SCANBRIDGE_NET_ENDPOINT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct addrinfo;
struct iovec;

namespace scanbridge {

// Applies the options every socket of the bridge carries: address reuse on,
// keep-alive off and, when timeout is not 0, send and receive time-outs of
// that length. Writes "ERROR: setsockopt failed" when the system refuses one
// of them. Returns false then.
bool set_socket_options(int fd, std::chrono::milliseconds timeout);

// Sends head and then body (either may be empty) on a socket, in as few
// send() calls as the kernel allows, so that a short header never sits alone
// waiting for the peer's acknowledgement while its payload follows. Uses
// MSG_NOSIGNAL: a peer that reset the connection makes it fail instead of
// raising SIGPIPE. While the socket has no room it waits, each time for at
// most timeout_ms (negative: no bound), unless the waits are woken
// (net/wake.h). Returns the bytes sent, which is less than the total only
// when a call sent nothing, or -1 on an error, a time-out or a wake.
std::int64_t send_all(int fd, const void* head, std::size_t head_count, const void* body,
                      std::size_t body_count, int timeout_ms = -1);

// The same for any number of parts. The iovec array is used up as it goes.
std::int64_t send_all(int fd, struct iovec* parts, std::size_t count, int timeout_ms = -1);

// The addresses of a look-up (getaddrinfo) in the order a connection tries
// them: the IPv4 ones first, in the resolver's order, then the IPv6 ones. A
// name that has both thus still reaches a scanner that listens on IPv4 only
// with its first try, as it did before IPv6 was known here.
std::vector<const addrinfo*> connection_order(const addrinfo* found);

// A TCP socket in one of two modes, fixed at construction:
// - listening: bound to 127.0.0.1 on a port (0 lets the system choose); it
//   accepts exactly one peer and then closes the listening socket; a wait
//   that ends without one leaves it listening, so that the port never
//   refuses a peer between two waits;
// - connecting: connected to a named host and port. The host is a name, an
//   IPv4 address or an IPv6 address (with an optional "%zone"); a name is
//   tried at each of its addresses in connection_order() until one connects.
//
// Sockets are opened lazily, by the first operation that needs the connected
// socket. Reads and writes are all-or-nothing. The endpoint owns both
// descriptors and closes them when destroyed. A descriptor counts as an open
// socket only when it is greater than 0; the process keeps 0, 1 and 2 open so
// that no socket ever lands there.
//
// Every wait (to accept, to connect, for bytes, for room to send) lasts at
// most the time-out last applied to the socket and ends at once when the
// process's waits are woken (net/wake.h); the operation then fails. A wait is
// bounded on its own: a read that gets some bytes and then waits in vain
// fails, whatever it got before. A read also fails at once while the waits
// are woken, without waiting: a peer that keeps sending never lets a read
// wait, and must not keep a stop from taking effect.
class endpoint {
 public:
  // Listening mode. Creates no socket.
  endpoint(int port, std::chrono::milliseconds timeout);
  // Connecting mode. Creates no socket.
  endpoint(std::string host, int port, std::chrono::milliseconds timeout);
  ~endpoint();

  endpoint(const endpoint&) = delete;
  endpoint& operator=(const endpoint&) = delete;

  // Listening mode: binds the listening socket first when there is none yet,
  // so a port of 0 becomes the system's choice. Returns the port.
  int port();
  // The connected descriptor, connecting or accepting first when needed; -1
  // when no connection could be made.
  int fd();
  // Transfers exactly count bytes into buf. With peek the bytes are copied and
  // stay first in line for the next read. False on end of stream, error,
  // time-out or wake.
  bool read(void* buf, std::size_t count, bool peek = false);
  // Writes exactly count bytes. A peer that reset the connection makes it fail;
  // it never raises SIGPIPE.
  bool write(const void* buf, std::size_t count);
  // Writes head and then body as one stream of bytes, all or nothing.
  bool write(const void* head, std::size_t head_count, const void* body, std::size_t body_count);
  // True when at least one byte is waiting on the connected socket now. Never
  // blocks, connects or accepts.
  bool has_input() const;
  // Copies up to count bytes that have arrived, leaving them first in line
  // for the next read. Returns how many (0 when none, or while the waits are
  // woken), or -1 without a connected socket. Never blocks, connects or
  // accepts.
  std::int64_t peek_waiting(void* buf, std::size_t count);
  // How many bytes have arrived and wait to be read, right now.
  std::size_t waiting() const;
  // True while a connection is made (accepted, in listening mode).
  bool connected() const { return fd_ > 0; }
  // True while a listening socket waits for a peer.
  bool listening() const { return listen_fd_ > 0; }
  std::chrono::milliseconds timeout() const { return timeout_; }
  // Every wait from now on ends within from now at the latest, on top of the
  // time-out: the whole rest of the connection's traffic gets that long. For
  // a closing exchange that must not hold the bridge.
  void set_deadline(std::chrono::milliseconds within);
  // Stores the time-out and applies the socket options with it to the
  // connected socket. With 0 the time-outs already on the socket stay in
  // force.
  void set_timeout(std::chrono::milliseconds timeout);

 private:
  bool open_();
  bool connect_();
  // One connection attempt to one address of the host.
  bool connect_to_(const addrinfo& address);
  bool listen_();
  bool accept_();
  void close_();

  // Applies the socket options with timeout to fd and notes the time-out
  // that the waits then keep to.
  void apply_options_(int fd, std::chrono::milliseconds timeout);
  // The bound of one wait in milliseconds: the time-out, or what is left
  // until the deadline if that is less; -1 for no bound.
  int wait_ms_() const;
  // Moves bytes from the socket into ahead_ until it holds count bytes. With
  // wait false it takes only what has arrived. True when it holds count.
  bool fill_ahead_(std::size_t count, bool wait);

  int listen_fd_ = -1;
  int fd_ = -1;
  int port_;
  std::chrono::milliseconds timeout_;
  // The send and receive time-out on the sockets in milliseconds (0: none).
  // A time-out of 0 leaves the one applied before in force.
  int wait_ms_limit_ = 0;
  // See set_deadline(); -1 for none.
  std::int64_t deadline_ = -1;
  bool connecting_;
  // A stranger's connection was closed and said so (see accept_()).
  bool stranger_told_ = false;
  std::string host_;
  // Bytes taken off the socket by a peek, first in line for the next read.
  // Holding them here rather than in the socket's queue means a peek never
  // keeps the peer's window shut while it waits for more.
  std::vector<std::uint8_t> ahead_;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_NET_ENDPOINT_H_
