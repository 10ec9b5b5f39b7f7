// SPDX-License-Identifier: MIT
// The real scanbridge executable as a child process: its port line, the
// client link end to end, serving one client after another, stop signals,
// parent death, and the faults a driver's environment can provoke.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/bridge_process.h"
#include "tests/support/child_process.h"
#include "tests/support/io.h"
#include "tests/support/link_client.h"
#include "tests/support/loopback.h"

namespace scanbridge {
namespace {

using testing::bridge_options;
using testing::bridge_process;
using testing::bytes;
using testing::exited;
using testing::hex;
using testing::KIND_CLOSE;
using testing::KIND_DATA;
using testing::KIND_OPEN;
using testing::KIND_PING;
using testing::link_client;
using testing::signal_bit;
using testing::text_bytes;
using testing::unhex;
using namespace std::chrono_literals;

constexpr const char* NAK_REPLY = "00 00 00 00 00 00 00 00 FF FF FF FF 00 00 00 01 15";
constexpr const char* FAILED_OPEN_REPLY = "00 00 00 00 00 00 00 00 FF FF FF FF 00 00 00 00";
const bytes ESC_I = unhex("1B 49");

// Every wait of the bridge is a poll(): for a client, for a message, for a
// scanner, and the pauses.
const std::vector<long> ACCEPT_CALLS = testing::poll_calls();
const std::vector<long> READ_CALLS = testing::poll_calls();

std::string signal_name(int signal) {
  switch (signal) {
    case SIGTERM:
      return "Sigterm";
    case SIGINT:
      return "Sigint";
    case SIGHUP:
      return "Sighup";
  }
  return std::to_string(signal);
}

// ---------------------------------------------------------------------------
// Start-up and the client link

TEST(BridgeProcess, PrintsItsPortAsTheFirstLineOfStandardOutputAndNothingElse) {
  bridge_process bridge;
  const std::optional<std::string> line = bridge.first_line();
  ASSERT_TRUE(line) << bridge.stderr_text();
  ASSERT_FALSE(line->empty());
  EXPECT_TRUE(std::all_of(line->begin(), line->end(), [](char c) { return c >= '0' && c <= '9'; }))
      << '"' << *line << '"';
  EXPECT_NE((*line)[0], '0') << '"' << *line << '"';
  const int port = bridge.port();

  link_client client = link_client::connect(port);
  ASSERT_TRUE(client.connected()) << std::strerror(errno);
  EXPECT_TRUE(client.ping());

  ASSERT_TRUE(bridge.send_signal(SIGHUP));
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_EQ(bridge.rest_of_stdout(), "");
  EXPECT_EQ(bridge.stderr_text(), "");
}

// A driver may pass any arguments, and the bridge ignores them; only a lone
// --version or --help is answered, and then it exits without binding a port.
struct arguments_case {
  const char* name;
  std::vector<const char*> arguments;
  const char* answer;  // what standard output holds (whole) or begins with;
  bool whole;          // nullptr: the bridge runs and prints its port
};

TEST(BridgeProcess, AnswersOnlyALoneVersionOrHelpAndIgnoresOtherArguments) {
  const std::vector<arguments_case> cases = {
      {"version", {"--version"}, "scanbridge " SCANBRIDGE_VERSION "\n", true},
      {"help", {"--help"}, "Usage: scanbridge\n", false},
      {"both", {"--version", "--help"}, nullptr, false},
      {"help and more", {"--help", "x"}, nullptr, false},
      {"short option", {"-h"}, nullptr, false},
      {"with a value", {"--version=1"}, nullptr, false},
  };
  for (const arguments_case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::pipe_fds out = testing::make_pipe();
    testing::child_process child = testing::child_process::fork_running([&] {
      if (::dup2(out.write_end.get(), 1) < 0) return 126;
      std::vector<char*> argv = {const_cast<char*>(testing::bridge_binary())};
      for (const char* a : c.arguments) argv.push_back(const_cast<char*>(a));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      return 127;
    });
    out.write_end.reset();
    if (c.answer == nullptr) {
      std::string line;
      for (bytes b = testing::read_exact(out.read_end.get(), 1); !b.empty() && b[0] != '\n';
           b = testing::read_exact(out.read_end.get(), 1)) {
        line.push_back(static_cast<char>(b[0]));
      }
      EXPECT_TRUE(!line.empty() &&
                  std::all_of(line.begin(), line.end(), [](char d) { return d >= '0' && d <= '9'; }))
          << "not a port line: \"" << line << '"';
      ASSERT_TRUE(child.send_signal(SIGHUP));
    } else {
      // Everything up to the end of the stream: the bridge must have exited.
      const bytes all = testing::read_exact(out.read_end.get(), 1 << 16);
      const std::string text(all.begin(), all.end());
      if (c.whole) {
        EXPECT_EQ(text, c.answer);
      } else {
        EXPECT_TRUE(text.starts_with(c.answer) && text.ends_with("\n")) << text;
      }
    }
    EXPECT_EQ(child.wait_exit(), exited(0));
  }
}

TEST(BridgeProcess, AcceptsAClientThatConnectsTheInstantItReadsThePort) {
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE("start " + std::to_string(i));
    bridge_process bridge;
    link_client client = link_client::connect(bridge.port());
    ASSERT_TRUE(client.connected()) << "connect: " << std::strerror(errno);
    ASSERT_TRUE(client.ping());
  }
}

struct stand_in_case {
  const char* name;
  std::uint32_t id;
  std::uint32_t kind;
  bytes payload;
  std::uint32_t word2;
  const char* reply;  // every byte the bridge answers with; "" for none
};

TEST(BridgeProcess, AnswersEachMessageByteForByte) {
  const std::vector<stand_in_case> cases = {
      {"DATA for a device that is not open", 1, KIND_DATA, ESC_I, 0, NAK_REPLY},
      {"DATA without payload", 0, KIND_DATA, {}, 0, NAK_REPLY},
      {"unknown kind", 3, 9, {}, 0, "00 00 00 03 00 00 00 00 FF FF FF FF 00 00 00 00"},
      {"unknown kind, payload and a large id", 0xDEADBEEF, 1, text_bytes("abc"), 0,
       "DE AD BE EF 00 00 00 00 FF FF FF FF 00 00 00 00"},
      {"word 2 set", 3, 9, {}, 0xFFFFFFFF, "00 00 00 03 00 00 00 00 FF FF FF FF 00 00 00 00"},
      {"OPEN without //", 7, KIND_OPEN, text_bytes("192.168.1.20"), 0, FAILED_OPEN_REPLY},
      {"OPEN with nothing after //", 0, KIND_OPEN, text_bytes("x://"), 0, FAILED_OPEN_REPLY},
      {"OPEN without payload", 0, KIND_OPEN, {}, 0, FAILED_OPEN_REPLY},
      {"CLOSE of a device that is not open", 1, KIND_CLOSE, {}, 0, ""},
      {"CLOSE with a payload", 2, KIND_CLOSE, text_bytes("zz"), 0, ""},
  };
  bridge_process bridge;
  link_client client = link_client::connect(bridge.port());
  ASSERT_TRUE(client.connected());
  for (const stand_in_case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client.send(c.id, c.kind, c.payload, c.word2));
    const bytes expected = unhex(c.reply);
    EXPECT_EQ(hex(client.receive_raw(expected.size())), hex(expected));
    // The next bytes are the ping's reply: nothing else was sent in between.
    EXPECT_TRUE(client.ping(0x0102));
  }
  EXPECT_EQ(bridge.stderr_text(), "");
}

TEST(BridgeProcess, RefusesASecondClientWhileOneIsServed) {
  bridge_process bridge;
  const int port = bridge.port();
  link_client first = link_client::connect(port);
  ASSERT_TRUE(first.ping());
  EXPECT_FALSE(testing::connect_loopback(port));
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_TRUE(first.ping());
}

// The port is for the driver that started the bridge: a process of another
// user is closed on at once, without a byte, and the driver still gets in.
TEST(BridgeProcess, ClosesOnAnotherUsersProcessAndServesItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  bridge_process bridge;
  const int port = bridge.port();
  testing::child_process stranger = testing::child_process::fork_running([port] {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return 2;
    const testing::unique_fd fd = testing::connect_loopback(port);
    return fd && testing::expect_eof(fd.get()) ? 0 : 1;
  });
  EXPECT_EQ(stranger.wait_exit(), exited(0)) << bridge.stderr_text();
  link_client client = link_client::connect_retry(port);
  ASSERT_TRUE(client.connected());
  EXPECT_TRUE(client.ping());
  EXPECT_EQ(bridge.stderr_text(), "ERROR: closed a connection of another user (uid 65534)\n");

  // While the driver is served nothing listens on the port, but no other
  // process can take it to wait there for the driver coming back.
  testing::child_process squatter = testing::child_process::fork_running([port] {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return 2;
    try {
      testing::bind_loopback(port);  // with address reuse, as a squatter would
      return 1;
    } catch (const std::system_error& e) {
      return e.code().value() == EADDRINUSE ? 0 : 1;
    }
  });
  EXPECT_EQ(squatter.wait_exit(), exited(0)) << "another user bound the bridge's port";
  ASSERT_TRUE(client.leave());
  EXPECT_TRUE(link_client::connect_retry(port).ping());
}

class BridgeProcessNextClient : public ::testing::TestWithParam<bool> {};

TEST_P(BridgeProcessNextClient, IsServedOnTheSamePort) {
  const bool by_reset = GetParam();
  bridge_process bridge;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    link_client client = bridge.connect();
    ASSERT_TRUE(client.connected()) << std::strerror(errno);
    ASSERT_TRUE(client.ping(static_cast<std::uint32_t>(i)));
    if (by_reset) {
      client.reset();
    } else {
      ASSERT_TRUE(client.leave()) << "the bridge did not close its side";
    }
  }
  link_client last = bridge.connect();
  EXPECT_TRUE(last.ping());
  EXPECT_TRUE(bridge.send_signal(SIGHUP));
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_EQ(bridge.stderr_text(), "");
}

INSTANTIATE_TEST_SUITE_P(Leaving, BridgeProcessNextClient, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "ByReset" : "ByEndOfStream"; });

TEST(BridgeProcess, ListensAgainOnceItCanAndPausesWhileItCannot) {
  bridge_process bridge;
  const int port = bridge.port();
  link_client client = link_client::connect(port);
  ASSERT_TRUE(client.ping());
  // No other process can take the port while the client is served, so the
  // listening socket is made impossible another way: no descriptor left for
  // it once the client's is closed.
  rlimit before{};
  ASSERT_EQ(::prlimit(bridge.pid(), RLIMIT_NOFILE, nullptr, &before), 0);
  const rlimit none_left{4, before.rlim_max};  // 0-2 and the wake descriptor
  ASSERT_EQ(::prlimit(bridge.pid(), RLIMIT_NOFILE, &none_left, nullptr), 0);
  ASSERT_TRUE(client.leave());
  EXPECT_TRUE(testing::wait_in_poll_of(bridge.pid(), 1))
      << "the bridge should pause between attempts to listen";
  ASSERT_EQ(::prlimit(bridge.pid(), RLIMIT_NOFILE, &before, nullptr), 0);
  link_client next = bridge.connect();
  ASSERT_TRUE(next.connected()) << std::strerror(errno);
  EXPECT_TRUE(next.ping());
  EXPECT_EQ(bridge.stderr_text(), "");
}

// ---------------------------------------------------------------------------
// Stop signals

class BridgeStopWhileWaitingForAClient : public ::testing::TestWithParam<int> {};

TEST_P(BridgeStopWhileWaitingForAClient, ExitsWithStatusZeroAtOnce) {
  bridge_process bridge;
  bridge.port();
  ASSERT_TRUE(bridge.wait_in_syscall(ACCEPT_CALLS));
  ASSERT_TRUE(bridge.send_signal(GetParam()));
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_EQ(bridge.rest_of_stdout(), "");
  EXPECT_EQ(bridge.stderr_text(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, BridgeStopWhileWaitingForAClient,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& p) { return signal_name(p.param); });

struct deferred_stop {
  const char* name;
  int signal;
  bool client_closes;  // else a message arrives
};

class BridgeDeferredStop : public ::testing::TestWithParam<deferred_stop> {};

TEST_P(BridgeDeferredStop, TakesEffectAfterTheMessageInHand) {
  const deferred_stop& row = GetParam();
  bridge_process bridge;
  link_client client = link_client::connect(bridge.port());
  ASSERT_TRUE(client.ping());
  ASSERT_TRUE(bridge.wait_in_syscall(READ_CALLS));

  ASSERT_TRUE(bridge.send_signal(row.signal));
  // Once the signal has been handled, the bridge waits on for the message.
  const std::uint64_t bit = signal_bit(row.signal);
  EXPECT_TRUE(testing::wait_until([&] {
    return (testing::signal_mask(bridge.pid(), "ShdPnd") & bit) == 0 &&
           (testing::signal_mask(bridge.pid(), "SigPnd") & bit) == 0;
  })) << "the signal was never delivered";
  EXPECT_TRUE(bridge.wait_in_syscall(READ_CALLS));
  EXPECT_TRUE(bridge.running());
  if (row.client_closes) {
    EXPECT_TRUE(client.leave());
  } else {
    ASSERT_TRUE(client.send(1, KIND_DATA, ESC_I));
    EXPECT_EQ(hex(client.receive_raw(17)), NAK_REPLY) << "the message in hand is still answered";
    EXPECT_TRUE(client.expect_eof()) << "then the bridge stops, reading nothing more";
  }
  EXPECT_EQ(bridge.wait_exit(), exited(0)) << bridge.stderr_text();
  EXPECT_EQ(bridge.stderr_text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BridgeDeferredStop,
    ::testing::Values(deferred_stop{"SigtermThenAMessage", SIGTERM, false},
                      deferred_stop{"SigintThenAMessage", SIGINT, false},
                      deferred_stop{"SigtermThenTheClientCloses", SIGTERM, true},
                      deferred_stop{"SigintThenTheClientCloses", SIGINT, true}),
    [](const auto& p) { return p.param.name; });

TEST(BridgeProcess, SighupWhileWaitingForAMessageStopsAtOnce) {
  bridge_process bridge;
  link_client client = link_client::connect(bridge.port());
  ASSERT_TRUE(client.ping());
  ASSERT_TRUE(bridge.wait_in_syscall(READ_CALLS));

  ASSERT_TRUE(bridge.send_signal(SIGHUP));
  EXPECT_TRUE(client.expect_eof());
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_EQ(bridge.stderr_text(), "");
}

TEST(BridgeProcess, StopsWhenItsParentDies) {
  // The bridge's parent is a process of its own that the test kills. The test
  // adopts the orphaned bridge, so it can still see how the bridge ends.
  const testing::subreaper_scope adopt_orphans;
  testing::pipe_fds report = testing::make_pipe();
  testing::pipe_fds hold = testing::make_pipe();
  testing::child_process parent = testing::child_process::fork_running([&] {
    report.read_end.reset();
    hold.write_end.reset();
    bridge_process bridge;
    const std::int32_t words[2] = {bridge.pid(), bridge.port()};
    bytes out(sizeof words);
    std::memcpy(out.data(), words, sizeof words);
    if (!testing::write_all(report.write_end.get(), out)) return 1;
    std::uint8_t byte;
    return static_cast<int>(read(hold.read_end.get(), &byte, 1));  // until the test lets go
  });
  report.write_end.reset();
  hold.read_end.reset();
  const bytes got = testing::read_exact(report.read_end.get(), 8);
  ASSERT_EQ(got.size(), 8u);
  std::int32_t words[2];
  std::memcpy(words, got.data(), sizeof words);
  testing::child_process bridge(words[0]);
  const int port = words[1];

  link_client client = link_client::connect(port);
  ASSERT_TRUE(client.ping());
  ASSERT_TRUE(testing::wait_in_syscall(bridge.pid(), READ_CALLS));

  parent.kill_and_reap();
  EXPECT_TRUE(client.expect_eof()) << "the bridge did not stop when its parent died";
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_FALSE(testing::connect_loopback(port));
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(BridgeProcess, NeverMissesASighupThatLandsAnywhereInTheLoop) {
  // The last message of a few round trips goes out, and a SIGHUP follows it
  // after a moment picked at random: it lands while the bridge reads that
  // message, dispatches it, answers it, tests its stop flag or begins its
  // wait for the next one. Nothing comes after it, so a stop lost between the
  // flag test and the wait would leave the bridge waiting for 300 s.
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> pings(0, 20);
  std::uniform_int_distribution<int> delay_us(0, 150);
  for (int trial = 0; trial < 100; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    bridge_process bridge;
    link_client client = link_client::connect(bridge.port());
    for (int i = pings(random); i > 0; --i) ASSERT_TRUE(client.ping());
    ASSERT_TRUE(client.send(1, KIND_PING));
    // A busy wait: a sleep this short would last far longer than asked.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delay_us(random));
    while (std::chrono::steady_clock::now() < until) {
    }
    ASSERT_TRUE(bridge.send_signal(SIGHUP));
    EXPECT_EQ(bridge.wait_exit(3s), exited(0));
  }
}

struct ignored_case {
  const char* name;
  int ignored;
  int stop;
};

class BridgeIgnoredSignal : public ::testing::TestWithParam<ignored_case> {};

TEST_P(BridgeIgnoredSignal, StaysIgnored) {
  const ignored_case& row = GetParam();
  bridge_options options;
  options.ignored_signals = {row.ignored};
  bridge_process bridge(options);
  link_client client = link_client::connect(bridge.port());
  ASSERT_TRUE(client.ping());

  EXPECT_NE(testing::signal_mask(bridge.pid(), "SigIgn") & signal_bit(row.ignored), 0u);
  EXPECT_NE(testing::signal_mask(bridge.pid(), "SigCgt") & signal_bit(row.stop), 0u);

  ASSERT_TRUE(bridge.wait_in_syscall(READ_CALLS));
  ASSERT_TRUE(bridge.send_signal(row.ignored));
  // A handled SIGTERM or SIGINT would let one more message through and then
  // stop; a handled SIGHUP would stop at once. Two answers show neither.
  EXPECT_TRUE(client.ping(1));
  EXPECT_TRUE(client.ping(2));

  ASSERT_TRUE(bridge.send_signal(row.stop));
  client.send(3, KIND_PING);  // lets a deferred stop take effect
  EXPECT_EQ(bridge.wait_exit(), exited(0));
}

INSTANTIATE_TEST_SUITE_P(Cases, BridgeIgnoredSignal,
                         ::testing::Values(ignored_case{"Sigterm", SIGTERM, SIGHUP},
                                           ignored_case{"Sigint", SIGINT, SIGHUP},
                                           ignored_case{"Sighup", SIGHUP, SIGTERM}),
                         [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// Faults from the environment

TEST(BridgeProcess, SurvivesWritingRepliesToAClientThatReset) {
  bridge_process bridge;  // SIGPIPE at its default disposition
  bridge.port();          // handlers are in place once the port is out
  EXPECT_EQ(testing::signal_mask(bridge.pid(), "SigIgn") & signal_bit(SIGPIPE), 0u);
  EXPECT_EQ(testing::signal_mask(bridge.pid(), "SigCgt") & signal_bit(SIGPIPE), 0u);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    link_client client = bridge.connect();
    ASSERT_TRUE(client.connected()) << "the bridge " << bridge.wait_exit(0ms);
    ASSERT_TRUE(client.ping());
    ASSERT_TRUE(bridge.wait_in_syscall(READ_CALLS));
    // Stopped, the bridge cannot answer before the reset is in: it finds
    // three messages and a reset connection. The first reply meets the reset,
    // the next ones a connection that is shut down, where a write without
    // MSG_NOSIGNAL raises SIGPIPE.
    ASSERT_TRUE(bridge.stop());
    bytes three;
    for (int i = 0; i < 3; ++i) {
      const bytes one = testing::link_message(1, KIND_DATA, ESC_I);
      three.insert(three.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(client.send_raw(three));
    // Every byte in the bridge's receive queue before the reset: a reset
    // discards whatever the client has not sent yet.
    ASSERT_TRUE(testing::wait_acknowledged(client.fd()));
    client.reset();
    ASSERT_TRUE(bridge.resume());
  }

  link_client last = bridge.connect();
  ASSERT_TRUE(last.connected()) << "the bridge " << bridge.wait_exit(0ms);
  EXPECT_TRUE(last.ping());
  ASSERT_TRUE(bridge.send_signal(SIGHUP));
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_EQ(bridge.stderr_text(), "");
}

TEST(BridgeProcess, WorksWithStandardInputClosed) {
  bridge_options options;
  options.close_stdin = true;
  bridge_process bridge(options);
  const int port = bridge.port();
  link_client first = link_client::connect(port);
  ASSERT_TRUE(first.connected()) << std::strerror(errno);
  ASSERT_TRUE(first.ping());
  ASSERT_TRUE(first.leave());

  link_client second = bridge.connect();
  ASSERT_TRUE(second.connected()) << std::strerror(errno);
  EXPECT_TRUE(second.ping());
  EXPECT_TRUE(bridge.send_signal(SIGHUP));
  EXPECT_EQ(bridge.wait_exit(), exited(0));
  EXPECT_EQ(bridge.stderr_text(), "");
}

}  // namespace
}  // namespace scanbridge
