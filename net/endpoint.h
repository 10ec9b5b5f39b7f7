// The one TCP socket wrapper of the bridge.
#ifndef SCANBRIDGE_NET_ENDPOINT_H_
#define SCANBRIDGE_NET_ENDPOINT_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct iovec;

namespace scanbridge {

// Applies the options every socket of the bridge carries: address reuse on,
// keep-alive off and, when seconds is not 0, send and receive time-outs of
// that many seconds. Writes "ERROR: setsockopt failed" when the system refuses
// one of them. Returns false then.
bool set_socket_options(int fd, int seconds);

// Sends head and then body (either may be empty) on a socket, in as few
// send() calls as the kernel allows, so that a short header never sits alone
// waiting for the peer's acknowledgement while its payload follows. Uses
// MSG_NOSIGNAL: a peer that reset the connection makes it fail instead of
// raising SIGPIPE. Returns the bytes sent, which is less than the total only
// when a call sent nothing, or -1 on an error.
std::int64_t send_all(int fd, const void* head, std::size_t head_count, const void* body,
                      std::size_t body_count);

// The same for any number of parts. The iovec array is used up as it goes.
std::int64_t send_all(int fd, struct iovec* parts, std::size_t count);

// A TCP socket in one of two modes, fixed at construction:
// - listening: bound to 127.0.0.1 on a port (0 lets the system choose); it
//   accepts exactly one peer and then closes the listening socket;
// - connecting: connected to a named host and port.
//
// Sockets are opened lazily, by the first operation that needs the connected
// socket. Reads and writes are all-or-nothing. The endpoint owns both
// descriptors and closes them when destroyed. A descriptor counts as an open
// socket only when it is greater than 0; the process keeps 0, 1 and 2 open so
// that no socket ever lands there.
class endpoint {
 public:
  // Listening mode. Creates no socket.
  endpoint(int port, int timeout);
  // Connecting mode. Creates no socket.
  endpoint(std::string host, int port, int timeout);
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
  // stay in the stream. False on end of stream, error or time-out.
  bool read(void* buf, std::size_t count, bool peek = false);
  // Writes exactly count bytes. A peer that reset the connection makes it fail;
  // it never raises SIGPIPE.
  bool write(const void* buf, std::size_t count);
  // Writes head and then body as one stream of bytes, all or nothing.
  bool write(const void* head, std::size_t head_count, const void* body,
             std::size_t body_count);
  // True when at least one byte is waiting on the connected socket now. Never
  // blocks, connects or accepts.
  bool has_input() const;
  // Copies up to count bytes that are waiting on the connected socket right
  // now, leaving them in the stream. Returns how many (0 when none), or -1.
  // Never blocks, connects or accepts.
  std::ptrdiff_t peek_waiting(void* buf, std::size_t count) const;
  int timeout() const { return timeout_; }
  // Stores seconds and applies the socket options with it to the connected
  // socket. With 0 the time-outs already on the socket stay in force.
  void set_timeout(int seconds);

 private:
  bool open_();
  bool connect_();
  bool listen_();
  bool accept_();
  void close_();

  int listen_fd_ = -1;
  int fd_ = -1;
  int port_;
  int timeout_;
  bool connecting_;
  std::string host_;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_NET_ENDPOINT_H_
