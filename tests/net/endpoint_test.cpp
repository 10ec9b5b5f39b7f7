// SPDX-License-Identifier: MIT
// The endpoint on real loopback sockets, in both modes.
#include "net/endpoint.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/wake.h"
#include "tests/support/child_process.h"
#include "tests/support/io.h"
#include "tests/support/loopback.h"

namespace scanbridge {
namespace {

using testing::bytes;
using testing::exited;
using testing::hex;
using testing::listener;
using testing::text_bytes;
using testing::unique_fd;
using namespace std::chrono_literals;

// A connecting endpoint already connected to a listener of the test, and the
// test's end of that connection.
struct connection {
  std::unique_ptr<endpoint> ep;
  unique_fd peer;
};

connection connect_endpoint(std::chrono::seconds timeout = 300s) {
  const listener l = testing::listen_loopback();
  connection c{std::make_unique<endpoint>("127.0.0.1", l.port, timeout), unique_fd()};
  if (c.ep->fd() <= 0) throw std::runtime_error("the endpoint did not connect");
  c.peer = testing::accept_connection(l.fd.get());
  if (!c.peer) throw std::runtime_error("the endpoint's connection was not accepted");
  return c;
}

int int_option(int fd, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  getsockopt(fd, SOL_SOCKET, name, &value, &len);
  return value;
}

// A time-out option in whole seconds, or -1 when it is not whole seconds.
long timeout_option(int fd, int name) {
  timeval tv{-1, 0};
  socklen_t len = sizeof tv;
  getsockopt(fd, SOL_SOCKET, name, &tv, &len);
  return tv.tv_usec == 0 ? tv.tv_sec : -1;
}

bytes read_bytes(endpoint& ep, std::size_t n, bool peek = false) {
  bytes out(n);
  if (!ep.read(out.data(), n, peek)) return {};
  return out;
}

bool write_text(endpoint& ep, const std::string& text) {
  return ep.write(text.data(), text.size());
}

// The system calls in which a thread waits for socket input, one way or
// another.
// Newer architectures (aarch64, riscv64) have only the p- and epoll_p-
// forms.
std::vector<long> waiting_calls() {
  return {SYS_read,      SYS_recvfrom,       SYS_recvmsg,    SYS_ppoll,
          SYS_pselect6,  SYS_epoll_pwait,    SYS_nanosleep,  SYS_clock_nanosleep,
#ifdef SYS_poll
          SYS_poll,
#endif
#ifdef SYS_select
          SYS_select,
#endif
#ifdef SYS_epoll_wait
          SYS_epoll_wait,
#endif
  };
}

// ---------------------------------------------------------------------------
// Listening mode

TEST(ListeningEndpoint, PortZeroBecomesAFixedPortChosenByTheSystem) {
  endpoint ep(0, 300s);
  const int port = ep.port();
  EXPECT_GT(port, 0);
  EXPECT_LE(port, 65535);
  EXPECT_EQ(ep.port(), port);

  unique_fd client = testing::connect_loopback(port);
  ASSERT_TRUE(client) << "connect: " << std::strerror(errno);
  EXPECT_GT(ep.fd(), 0);
  EXPECT_EQ(ep.port(), port) << "the port stays fixed once connected";
}

TEST(ListeningEndpoint, ListensOnTheLoopbackAddressOnly) {
  endpoint ep(0, 300s);
  const int port = ep.port();
  EXPECT_FALSE(testing::connect_loopback(port, "127.0.0.2"));
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_TRUE(testing::connect_loopback(port, "127.0.0.1"));
}

TEST(ListeningEndpoint, AcceptsAClientThatConnectsAsSoonAsThePortIsKnown) {
  endpoint ep(0, 300s);
  // No fd(), read() or write() yet: learning the port alone must leave a
  // socket that takes the connection.
  unique_fd client = testing::connect_loopback(ep.port());
  ASSERT_TRUE(client) << "connect: " << std::strerror(errno);

  ASSERT_GT(ep.fd(), 0);
  ASSERT_TRUE(write_text(ep, "hello"));
  EXPECT_EQ(testing::read_exact(client.get(), 5), text_bytes("hello"));
  ASSERT_TRUE(testing::write_all(client.get(), text_bytes("world")));
  EXPECT_EQ(read_bytes(ep, 5), text_bytes("world"));
}

TEST(ListeningEndpoint, AcceptsOnePeerOnly) {
  endpoint ep(0, 300s);
  const int port = ep.port();
  unique_fd first = testing::connect_loopback(port);
  ASSERT_TRUE(first);
  ASSERT_GT(ep.fd(), 0);

  EXPECT_FALSE(testing::connect_loopback(port)) << "the listening socket must be gone";
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(ListeningEndpoint, ZeroByteReadWaitsForAPeerAndATimedOutWaitListensAgainOnTheSamePort) {
  endpoint ep(0, 1s);
  const int port = ep.port();
  char none = 0;

  // No client: the read still waits in accept, and the wait times out.
  EXPECT_FALSE(ep.read(&none, 0));

  // The next listening socket is bound on the same port again.
  EXPECT_EQ(ep.port(), port);
  unique_fd client = testing::connect_loopback(port);
  ASSERT_TRUE(client) << "connect to the same port: " << std::strerror(errno);
  EXPECT_TRUE(ep.read(&none, 0));
  ASSERT_TRUE(write_text(ep, "x"));
  EXPECT_EQ(testing::read_exact(client.get(), 1), text_bytes("x"));
}

TEST(ListeningEndpoint, NewEndpointBindsThePortOfAConnectionItClosedItself) {
  auto first = std::make_unique<endpoint>(0, 300s);
  const int port = first->port();
  unique_fd client = testing::connect_loopback(port);
  ASSERT_TRUE(client);
  ASSERT_TRUE(write_text(*first, "x"));
  ASSERT_EQ(testing::read_exact(client.get(), 1), text_bytes("x"));
  // The endpoint closes first, so its side of the connection lingers on the
  // port (FIN_WAIT, then TIME_WAIT); only address reuse lets it bind again.
  first.reset();
  ASSERT_TRUE(testing::expect_eof(client.get()));
  client.reset();

  endpoint second(port, 300s);
  EXPECT_EQ(second.port(), port);
  unique_fd again = testing::connect_loopback(port);
  ASSERT_TRUE(again) << "connect: " << std::strerror(errno);
  ASSERT_TRUE(write_text(second, "y"));
  EXPECT_EQ(testing::read_exact(again.get(), 1), text_bytes("y"));
}

// ---------------------------------------------------------------------------
// Reads

// 12 bytes reach the endpoint as 5, then 7 while the read already waits.
class EndpointSplitRead : public ::testing::TestWithParam<bool> {};

TEST_P(EndpointSplitRead, AssemblesTheBytesInStreamOrder) {
  const bool peek = GetParam();
  connection c = connect_endpoint();
  const bytes message = text_bytes("0123456789AB");
  ASSERT_TRUE(testing::write_all(c.peer.get(), bytes(message.begin(), message.begin() + 5)));

  std::atomic<pid_t> reader{0};
  bytes got(12);
  bool ok = false;
  std::thread thread([&] {
    reader = gettid();
    ok = c.ep->read(got.data(), got.size(), peek);
  });
  const bool waiting = testing::wait_until([&] { return reader != 0; }) &&
                       testing::wait_in_syscall(reader, waiting_calls());
  EXPECT_TRUE(waiting) << "the read did not wait for the missing bytes";
  ASSERT_TRUE(testing::write_all(c.peer.get(), bytes(message.begin() + 5, message.end())));
  thread.join();

  ASSERT_TRUE(ok);
  EXPECT_EQ(hex(got), hex(message));
  if (peek) {
    // Checked without blocking first: a read of bytes that are gone would
    // wait for the whole receive time-out.
    ASSERT_TRUE(c.ep->has_input()) << "a peek leaves the bytes first in line";
    EXPECT_EQ(hex(read_bytes(*c.ep, 12)), hex(message));
  }
  EXPECT_FALSE(c.ep->has_input()) << "every byte consumed once";
}

INSTANTIATE_TEST_SUITE_P(PlainAndPeek, EndpointSplitRead, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Peek" : "Plain"; });

struct read_failure {
  const char* name;
  bool peek;
  std::size_t sent;  // of the 4 bytes asked for
  // woken: the waits are woken (a stop) while the read waits for the rest.
  enum { end_of_stream, reset, nothing, woken } then;
};

class EndpointReadFailure : public ::testing::TestWithParam<read_failure> {};

TEST_P(EndpointReadFailure, ReturnsFalse) {
  const read_failure& row = GetParam();
  // Woken, the read must end long before a time-out that would fail the test.
  connection c = connect_endpoint(row.then == read_failure::woken ? 300s : 1s);
  ASSERT_TRUE(open_wake());
  ASSERT_TRUE(testing::write_all(c.peer.get(), bytes(row.sent, 0x42)));
  if (row.then == read_failure::end_of_stream) c.peer.reset();
  if (row.then == read_failure::reset) {
    // Let the bytes arrive before the reset so that they are read first.
    ASSERT_TRUE(testing::wait_until([&] { return c.ep->has_input() || row.sent == 0; }));
    testing::reset_close(c.peer);
  }
  if (row.then == read_failure::woken) {
    // The bytes are there first; the wake holds until it is cleared, so the
    // read takes them and then meets it in its first wait.
    ASSERT_TRUE(testing::wait_until(
        [&] { return testing::pending_input(c.ep->fd()) == static_cast<int>(row.sent); }));
    wake_waits();
  }
  bytes buf(4);
  EXPECT_FALSE(c.ep->read(buf.data(), buf.size(), row.peek));
  clear_wake();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndpointReadFailure,
    ::testing::Values(
        read_failure{"NothingThenEndOfStream", false, 0, read_failure::end_of_stream},
        read_failure{"ThreeOfFourThenEndOfStream", false, 3, read_failure::end_of_stream},
        read_failure{"NothingThenReset", false, 0, read_failure::reset},
        read_failure{"ThreeOfFourThenReset", false, 3, read_failure::reset},
        read_failure{"NothingWithinTheReceiveTimeOut", false, 0, read_failure::nothing},
        read_failure{"PeekThreeOfFourThenEndOfStream", true, 3, read_failure::end_of_stream},
        read_failure{"PeekNothingThenReset", true, 0, read_failure::reset},
        read_failure{"ThreeOfFourThenAStop", false, 3, read_failure::woken},
        read_failure{"PeekThreeOfFourThenAStop", true, 3, read_failure::woken}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// has_input

TEST(EndpointHasInput, NeverConnects) {
  const listener l = testing::listen_loopback();
  endpoint ep("127.0.0.1", l.port, 300s);
  EXPECT_FALSE(ep.has_input());
  // Had it connected, the connection would be in the accept queue by now:
  // a loopback connect returns once the handshake is done.
  EXPECT_FALSE(testing::wait_readable(l.fd.get(), 0ms)) << "a connection is waiting";
  ASSERT_GT(ep.fd(), 0);
  EXPECT_TRUE(testing::accept_connection(l.fd.get())) << "the listener takes connections";
}

TEST(EndpointHasInput, NeverAccepts) {
  endpoint ep(0, 300s);
  unique_fd client = testing::connect_loopback(ep.port());
  ASSERT_TRUE(client);
  ASSERT_TRUE(testing::write_all(client.get(), text_bytes("z")));
  EXPECT_FALSE(ep.has_input()) << "the client is not accepted yet, so nothing is waiting";

  ASSERT_GT(ep.fd(), 0);
  ASSERT_TRUE(testing::wait_readable(ep.fd()));
  EXPECT_TRUE(ep.has_input());
}

struct input_state {
  const char* name;
  bool nonblocking;  // how the socket was before the call
  enum { nothing, one_byte, end_of_stream } waiting;
  bool expected;
};

class EndpointHasInputState : public ::testing::TestWithParam<input_state> {};

TEST_P(EndpointHasInputState, TellsWhetherInputWaitsAndLeavesTheFlagsAsTheyWere) {
  const input_state& row = GetParam();
  connection c = connect_endpoint();
  const int fd = c.ep->fd();
  if (row.nonblocking) {
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
  }
  if (row.waiting == input_state::one_byte) {
    ASSERT_TRUE(testing::write_all(c.peer.get(), text_bytes("q")));
  }
  if (row.waiting == input_state::end_of_stream) c.peer.reset();
  if (row.waiting != input_state::nothing) {
    ASSERT_TRUE(testing::wait_readable(fd));
  }
  const int flags = fcntl(fd, F_GETFL);

  EXPECT_EQ(c.ep->has_input(), row.expected);
  EXPECT_EQ(fcntl(fd, F_GETFL), flags);
  EXPECT_EQ((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, row.nonblocking);
  if (row.waiting == input_state::one_byte) {
    ASSERT_EQ(testing::pending_input(fd), 1) << "has_input consumes nothing";
    EXPECT_EQ(read_bytes(*c.ep, 1), text_bytes("q"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndpointHasInputState,
    ::testing::Values(input_state{"BlockingNothing", false, input_state::nothing, false},
                      input_state{"BlockingOneByte", false, input_state::one_byte, true},
                      input_state{"BlockingEndOfStream", false, input_state::end_of_stream, false},
                      input_state{"NonBlockingNothing", true, input_state::nothing, false},
                      input_state{"NonBlockingOneByte", true, input_state::one_byte, true}),
    [](const auto& p) { return p.param.name; });

struct peek_case {
  const char* name;
  std::size_t waiting;  // bytes sent by the peer
  bool end_of_stream;   // the peer then closes
  std::size_t asked;
  std::ptrdiff_t expected;
};

class EndpointPeekWaiting : public ::testing::TestWithParam<peek_case> {};

TEST_P(EndpointPeekWaiting, CopiesWhatIsWaitingWithoutTakingItOrBlocking) {
  const peek_case& row = GetParam();
  connection c = connect_endpoint();
  const bytes sent = text_bytes(std::string("0123456789ABCDEFGHIJ").substr(0, row.waiting));
  ASSERT_TRUE(testing::write_all(c.peer.get(), sent));
  if (row.end_of_stream) c.peer.reset();
  if (row.waiting > 0) {
    ASSERT_TRUE(testing::wait_until(
        [&] { return testing::pending_input(c.ep->fd()) == static_cast<int>(row.waiting); }));
  } else if (row.end_of_stream) {
    ASSERT_TRUE(testing::wait_readable(c.ep->fd()));
  }
  const int flags = fcntl(c.ep->fd(), F_GETFL);

  bytes buf(row.asked);
  EXPECT_EQ(c.ep->peek_waiting(buf.data(), buf.size()), row.expected);
  EXPECT_EQ(hex(bytes(buf.begin(), buf.begin() + std::max<std::ptrdiff_t>(row.expected, 0))),
            hex(bytes(sent.begin(), sent.begin() + std::max<std::ptrdiff_t>(row.expected, 0))));
  EXPECT_EQ(fcntl(c.ep->fd(), F_GETFL), flags);
  EXPECT_EQ(c.ep->has_input(), !sent.empty()) << "the bytes stay first in line";
  EXPECT_EQ(read_bytes(*c.ep, sent.size()), sent);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndpointPeekWaiting,
                         ::testing::Values(peek_case{"NothingWaiting", 0, false, 12, 0},
                                           peek_case{"FewerThanAsked", 5, false, 12, 5},
                                           peek_case{"MoreThanAsked", 20, false, 12, 12},
                                           peek_case{"EndOfStream", 0, true, 12, 0},
                                           peek_case{"BytesThenEndOfStream", 5, true, 12, 5}),
                         [](const auto& p) { return p.param.name; });

TEST(EndpointPeekWaiting, WithoutASocketFailsAndNeverConnects) {
  const listener l = testing::listen_loopback();
  endpoint ep("127.0.0.1", l.port, 300s);
  char buf[4];
  EXPECT_EQ(ep.peek_waiting(buf, sizeof buf), -1);
  EXPECT_FALSE(testing::wait_readable(l.fd.get(), 0ms)) << "a connection is waiting";
}

// ---------------------------------------------------------------------------
// Socket options and time-outs

TEST(EndpointOptions, ConnectedAndAcceptedSocketsCarryTheOptions) {
  connection c = connect_endpoint(300s);
  endpoint server(0, 300s);
  unique_fd client = testing::connect_loopback(server.port());
  ASSERT_TRUE(client);
  ASSERT_GT(server.fd(), 0);
  endpoint untimed(0, 0s);
  unique_fd client2 = testing::connect_loopback(untimed.port());
  ASSERT_TRUE(client2);
  ASSERT_GT(untimed.fd(), 0);

  // An accepted socket keeps the port while nothing listens: without address
  // reuse, so that no other process can bind the port meanwhile.
  for (const auto& [name, fd, seconds, reuse] :
       {std::tuple{"connecting", c.ep->fd(), 300L, 1}, std::tuple{"accepted", server.fd(), 300L, 0},
        std::tuple{"accepted, time-out 0", untimed.fd(), 0L, 0}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(int_option(fd, SO_REUSEADDR), reuse);
    EXPECT_EQ(int_option(fd, SO_KEEPALIVE), 0);
    EXPECT_EQ(timeout_option(fd, SO_RCVTIMEO), seconds);
    EXPECT_EQ(timeout_option(fd, SO_SNDTIMEO), seconds);
  }
}

TEST(EndpointOptions, SetTimeoutZeroKeepsTheTimeOutsInForce) {
  connection c = connect_endpoint(300s);
  const int fd = c.ep->fd();

  c.ep->set_timeout(0s);
  EXPECT_EQ(c.ep->timeout(), 0s);
  EXPECT_EQ(timeout_option(fd, SO_RCVTIMEO), 300);
  EXPECT_EQ(timeout_option(fd, SO_SNDTIMEO), 300);

  c.ep->set_timeout(7s);
  EXPECT_EQ(c.ep->timeout(), 7s);
  EXPECT_EQ(timeout_option(fd, SO_RCVTIMEO), 7);
  EXPECT_EQ(timeout_option(fd, SO_SNDTIMEO), 7);

  c.ep->set_timeout(300s);
  EXPECT_EQ(c.ep->timeout(), 300s);
  EXPECT_EQ(timeout_option(fd, SO_RCVTIMEO), 300);
  EXPECT_EQ(timeout_option(fd, SO_SNDTIMEO), 300);
}

// ---------------------------------------------------------------------------
// Connecting mode

TEST(ConnectingEndpoint, UnresolvableHostFailsCleanly) {
  const std::size_t before = testing::count_open_fds();
  {
    // A label of more than 63 characters: the resolver refuses it without
    // asking a name server.
    endpoint ep(std::string(64, 'x') + ".invalid", 1865, 5s);
    char buf[4] = {};
    EXPECT_FALSE(ep.read(buf, sizeof buf));
    EXPECT_FALSE(ep.write(buf, sizeof buf));
    EXPECT_EQ(ep.fd(), -1);
    EXPECT_FALSE(ep.has_input());
    EXPECT_EQ(testing::count_open_fds(), before) << "a failed attempt leaves no socket open";
  }
  EXPECT_EQ(testing::count_open_fds(), before);
}

TEST(ConnectingEndpoint, ReachesAnIpv6Address) {
  if (!testing::ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback here";
  unique_fd listening(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(listening);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listening.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(listening.get(), 1), 0);
  ASSERT_EQ(getsockname(listening.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);

  endpoint ep("::1", ntohs(addr.sin6_port), 300s);
  ASSERT_TRUE(write_text(ep, "v6"));
  unique_fd peer = testing::accept_connection(listening.get());
  ASSERT_TRUE(peer);
  EXPECT_EQ(testing::read_exact(peer.get(), 2), text_bytes("v6"));
}

TEST(ConnectingEndpoint, AStopMakesNoFurtherAttempt) {
  const listener l = testing::listen_loopback();
  endpoint ep("127.0.0.1", l.port, 300s);
  ASSERT_TRUE(open_wake());
  wake_waits();
  EXPECT_EQ(ep.fd(), -1);
  EXPECT_FALSE(testing::wait_readable(l.fd.get(), 0ms)) << "a connection was made after the stop";
  clear_wake();
  EXPECT_GT(ep.fd(), 0);
  EXPECT_TRUE(testing::accept_connection(l.fd.get()));
}

TEST(ConnectingEndpoint, TriesIpv4AddressesFirstInTheResolversOrder) {
  // A look-up's list as getaddrinfo might give it: IPv6 and IPv4 mixed.
  addrinfo a6{}, b4{}, c6{}, d4{}, unix_entry{};
  a6.ai_family = AF_INET6;
  b4.ai_family = AF_INET;
  c6.ai_family = AF_INET6;
  unix_entry.ai_family = AF_UNIX;
  d4.ai_family = AF_INET;
  a6.ai_next = &b4;
  b4.ai_next = &c6;
  c6.ai_next = &unix_entry;
  unix_entry.ai_next = &d4;
  EXPECT_EQ(connection_order(&a6), (std::vector<const addrinfo*>{&b4, &d4, &a6, &c6}));
  EXPECT_TRUE(connection_order(nullptr).empty());
}

TEST(ConnectingEndpoint, RefusedConnectionIsTriedAgainByTheNextOperation) {
  // Bound but not listening: connections are refused until listen().
  listener l = testing::bind_loopback();
  endpoint ep("127.0.0.1", l.port, 300s);
  const std::size_t before = testing::count_open_fds();
  EXPECT_FALSE(write_text(ep, "abc"));
  EXPECT_EQ(testing::count_open_fds(), before);

  ASSERT_EQ(listen(l.fd.get(), 1), 0);
  EXPECT_TRUE(write_text(ep, "abc"));
  unique_fd peer = testing::accept_connection(l.fd.get());
  ASSERT_TRUE(peer);
  EXPECT_EQ(testing::read_exact(peer.get(), 3), text_bytes("abc"));
}

// ---------------------------------------------------------------------------
// Writes

bytes pattern(std::size_t size, std::uint8_t seed) {
  bytes data(size);
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return data;
}

// A head and a body written as one stream; the large ones cannot go out in
// one call, so the write resumes inside the head or the body.
struct two_parts {
  const char* name;
  std::size_t head;
  std::size_t body;
};

class EndpointWriteParts : public ::testing::TestWithParam<two_parts> {};

TEST_P(EndpointWriteParts, ArriveCompleteAndInOrder) {
  const two_parts& row = GetParam();
  connection c = connect_endpoint();
  const bytes head = pattern(row.head, 1);
  const bytes body = pattern(row.body, 2);
  bytes expected = head;
  expected.insert(expected.end(), body.begin(), body.end());
  expected.push_back(0x7E);  // a marker written after, to see where the stream ends

  bytes got;
  std::thread reader([&] { got = testing::read_exact(c.peer.get(), expected.size()); });
  EXPECT_TRUE(c.ep->write(head.data(), head.size(), body.data(), body.size()));
  EXPECT_TRUE(write_text(*c.ep, "~"));
  reader.join();
  EXPECT_TRUE(got == expected) << "received " << got.size() << " of " << expected.size()
                               << " bytes, or other bytes";
}

INSTANTIATE_TEST_SUITE_P(Cases, EndpointWriteParts,
                         ::testing::Values(two_parts{"Nothing", 0, 0}, two_parts{"HeadOnly", 5, 0},
                                           two_parts{"BodyOnly", 0, 5},
                                           two_parts{"LargeHeadOnly", 4 << 20, 0},
                                           two_parts{"SmallHeadLargeBody", 16, 4 << 20},
                                           two_parts{"LargeHeadAndBody", 3 << 20, 3 << 20}),
                         [](const auto& p) { return p.param.name; });

TEST(EndpointWrite, SendAllReportsEveryByteItSent) {
  connection c = connect_endpoint();
  const bytes head = pattern(16, 3);
  const bytes body = pattern(3 << 20, 4);
  bytes got;
  std::thread reader([&] { got = testing::read_exact(c.peer.get(), head.size() + body.size()); });
  EXPECT_EQ(send_all(c.ep->fd(), head.data(), head.size(), body.data(), body.size()),
            static_cast<std::int64_t>(head.size() + body.size()));
  reader.join();
  EXPECT_EQ(got.size(), head.size() + body.size());
}

std::atomic<int> interruptions{0};

TEST(EndpointWrite, ResumesWhereAnInterruptedSendStopped) {
  // A signal that arrives while a write waits for room, after part of the
  // bytes went out, and that does not wake the waits (it is no stop) must
  // not end the write: it goes on with the very next byte.
  struct sigaction count_it {};
  count_it.sa_handler = [](int) { ++interruptions; };
  sigemptyset(&count_it.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &count_it, &previous), 0);
  interruptions = 0;

  connection c = connect_endpoint();
  const bytes head = pattern(16, 5);
  const bytes body = pattern(32 << 20, 6);  // far more than the socket buffers hold
  std::atomic<pid_t> writer_id{0};
  bool ok = false;
  std::thread writer([&] {
    writer_id = gettid();
    ok = c.ep->write(head.data(), head.size(), body.data(), body.size());
  });
  const bool blocked = testing::wait_until([&] { return writer_id != 0; }) &&
                       testing::wait_in_syscall(writer_id, testing::poll_calls());
  EXPECT_TRUE(blocked) << "the write never waited for room";
  pthread_kill(writer.native_handle(), SIGUSR1);
  EXPECT_TRUE(testing::wait_until([] { return interruptions == 1; }));
  // Once the interrupted wait has returned, the write waits again.
  EXPECT_TRUE(testing::wait_in_syscall(writer_id, testing::poll_calls()));

  const bytes got = testing::read_exact(c.peer.get(), head.size() + body.size());
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(ok);
  bytes expected = head;
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "the stream differs after the interruption";
}

TEST(EndpointWrite, WriteToAResetPeerFailsWithoutSigpipe) {
  // In a child with the default SIGPIPE disposition, so that a SIGPIPE ends
  // the child and shows in its exit status instead of ending the test run.
  testing::child_process child = testing::child_process::fork_running([] {
    signal(SIGPIPE, SIG_DFL);
    connection c = connect_endpoint();
    testing::reset_close(c.peer);
    if (!testing::wait_readable(c.ep->fd())) return 2;  // the reset has arrived
    // The first write reports the reset; later ones find the connection shut.
    for (int i = 0; i < 3; ++i) {
      if (write_text(*c.ep, "abcd")) return 3;
    }
    return 0;
  });
  EXPECT_EQ(child.wait_exit(), exited(0));
}

}  // namespace
}  // namespace scanbridge
