// SPDX-License-Identifier: MIT
// The emulator's fault modes seen from scanclient: each shows one clear error
// line (or, for the harmless ones, a good scan), and the bridge that served
// the faulty scanner stays up and serves a healthy one afterwards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"
#include "tests/support/bridge_process.h"
#include "tests/support/loopback.h"

namespace scanbridge::testing {
namespace {

// A grey scan of 64x48 (3072 bytes) through the running bridge at `port`.
std::vector<std::string> scan_args(int port, const emulator_process& scanner,
                                   const temp_file& image) {
  std::vector<std::string> args = {"--connect", std::to_string(port)};
  args.insert(args.end(), {"scan", scanner.uri(), "--output", image.path()});
  args.insert(args.end(), {"--width", "64", "--height", "48", "--grey"});
  return args;
}

// A whole good scan through the bridge at `port`.
void expect_good_scan(int port, const std::string& variant,
                      const std::vector<std::string>& emulator_options = {}) {
  std::vector<std::string> options = {"--block-size", "1000"};
  options.insert(options.end(), emulator_options.begin(), emulator_options.end());
  emulator_process scanner(variant, options);
  const temp_file image("good.pnm");
  const client_result result = run_scanclient(scan_args(port, scanner, image));
  ASSERT_EQ(result.status, exited(0)) << result;
  EXPECT_EQ(result.err, "") << result;
  std::string error;
  const std::optional<pnm_image> file = read_pnm(image.path(), &error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(compare_with_pattern(file->samples, {64, 48, false}), "");
}

// The one line scanclient wrote to standard error.
std::string error_line(const client_result& result) {
  const std::vector<std::string> lines = lines_of(result.err);
  EXPECT_EQ(lines.size(), 1u) << result;
  return lines.empty() ? std::string() : lines.back();
}

struct fault_case {
  const char* name;
  const char* variant;
  std::vector<std::string> options;
  // What scanclient reports; empty: the scan succeeds all the same.
  std::string error;
};

std::ostream& operator<<(std::ostream& out, const fault_case& c) {
  return out << c.name;
}

class Fault : public ::testing::TestWithParam<fault_case> {
 protected:
  bridge_process bridge_;
};

TEST_P(Fault, ClientReportsItAndTheBridgeServesOn) {
  const fault_case& c = GetParam();
  const int port = bridge_.port();
  if (c.error.empty()) {
    ASSERT_NO_FATAL_FAILURE(expect_good_scan(port, c.variant, c.options));
  } else {
    std::vector<std::string> options = {"--block-size", "1000"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    emulator_process scanner(c.variant, options);
    const temp_file image("faulty.pnm");
    const client_result result = run_scanclient(scan_args(port, scanner, image));
    EXPECT_EQ(result.status, exited(1)) << result;
    EXPECT_EQ(error_line(result), "scanclient: " + c.error) << result;
  }
  EXPECT_TRUE(bridge_.running());
  ASSERT_NO_FATAL_FAILURE(expect_good_scan(port, "nt"));
  ASSERT_NO_FATAL_FAILURE(expect_good_scan(port, "is"));
  EXPECT_TRUE(bridge_.running());
  EXPECT_EQ(bridge_.stderr_text(), "");
}

const std::string kLostMidScan =
    "connection to the scanner lost mid-scan: the bridge sent no more data after 2000 of 3072 "
    "bytes";
const std::string kRefused = "scanner refused colour mode grey (NAK to ESC C parameters)";

INSTANTIATE_TEST_SUITE_P(
    EveryMode, Fault,
    ::testing::Values(
        fault_case{"nt_reset_after_blocks", "nt", {"--reset-after-blocks", "2"}, kLostMidScan},
        fault_case{"is_reset_after_blocks", "is", {"--reset-after-blocks", "2"}, kLostMidScan},
        fault_case{"nt_refuse_params", "nt", {"--refuse-params"}, kRefused},
        fault_case{"is_refuse_params", "is", {"--refuse-params"}, kRefused},
        fault_case{"nt_oversized_header",
                   "nt",
                   {"--oversized-header"},
                   "the bridge sent no answer: its exchange with the scanner failed (waiting for "
                   "the answer to ESC C parameters)"},
        // NT opens without waiting for an answer after the greeting, so this
        // scanner is opened and fails at its first command.
        fault_case{"nt_close_after_greeting",
                   "nt",
                   {"--close-after-greeting"},
                   "the bridge sent no answer: its exchange with the scanner failed (waiting for "
                   "the answer to ESC C parameters)"},
        fault_case{"nt_disconnect_event",
                   "nt",
                   {"--disconnect-after", "3"},
                   "the bridge sent no answer: its exchange with the scanner failed (waiting for "
                   "the answer to ESC R parameters)"},
        fault_case{"is_disconnect_event",
                   "is",
                   {"--disconnect-after", "3"},
                   "the bridge sent no answer: its exchange with the scanner failed (waiting for "
                   "the answer to ESC D)"},
        fault_case{"nt_slow_scanner", "nt", {"--delay-ms", "20"}, ""},
        fault_case{"is_slow_scanner", "is", {"--delay-ms", "20"}, ""},
        fault_case{"nt_notice_storm", "nt", {"--notice-storm", "5"}, ""},
        fault_case{"is_notice_storm", "is", {"--notice-storm", "5"}, ""}),
    [](const ::testing::TestParamInfo<fault_case>& param) {
      return std::string(param.param.name);
    });

// A scanner that greets wrongly or closes before the IS open exchange, a
// port that refuses and a name that does not resolve cannot be opened: the
// bridge tries ten times (about 5.5 s of pauses) and answers OPEN with a
// failure; scanclient then finds out why and says so in one line. A scanner
// that takes the connection and never greets keeps the bridge waiting longer
// than scanclient waits for the OPEN reply; scanclient then finds out the
// same way. The runs go at once, each on its own bridge.
TEST(UnopenableScanner, ClientSaysWhyAndTheBridgeServesOn) {
  // 64 characters in one label: the resolver refuses it without a query.
  const std::string unresolvable = std::string(64, 'x') + ".invalid";
  const listener refusing = bind_loopback();
  const std::string refusing_at = "127.0.0.1:" + std::to_string(refusing.port);
  // The same on ::1 where there is IPv6: the bracketed form comes back as
  // it was given.
  const unique_fd refusing6(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 six{};
  six.sin6_family = AF_INET6;
  six.sin6_addr = in6addr_loopback;
  socklen_t six_size = sizeof six;
  const bool ipv6 =
      ::bind(refusing6.get(), reinterpret_cast<sockaddr*>(&six), six_size) == 0 &&
      ::getsockname(refusing6.get(), reinterpret_cast<sockaddr*>(&six), &six_size) == 0;
  const std::string refusing6_at =
      ipv6 ? "[::1]:" + std::to_string(ntohs(six.sin6_port)) : refusing_at;
  const listener silent = listen_loopback();  // takes connections, never greets
  const std::string silent_at = "127.0.0.1:" + std::to_string(silent.port);
  static int runs_made = 0;
  struct run {
    run(const char* variant, const char* fault, const char* what)
        : scanner(std::in_place, variant, std::vector<std::string>{fault}),
          uri(scanner->uri()),
          reason(uri.substr(6) + what) {}
    run(std::string address, std::string why, bool waits = false)
        : uri("net://" + address), reason(std::move(why)), outwaits_the_client(waits) {}
    bridge_process bridge;
    std::optional<emulator_process> scanner;
    std::string uri;
    std::string reason;
    bool outwaits_the_client = false;  // the bridge is still waiting for the scanner
    temp_file image{"unopened" + std::to_string(++runs_made) + ".pnm"};
    std::optional<spawned_process> client;
  };
  const char* not_a_scanner = " answered but is not a scanner (no greeting)";
  run runs[] = {{"is", "--close-after-greeting", " closed the connection after the greeting"},
                {"nt", "--greeting-version=1.1",
                 " speaks protocol version 1.1; the bridge needs 1.2 or later"},
                {"nt", "--wrong-magic", not_a_scanner},
                {"is", "--wrong-magic", not_a_scanner},
                {silent_at,
                 "nothing answered at " + silent_at +
                     ": it took the connection but sent no greeting within 3 s",
                 true},
                {refusing_at, "connection refused by " + refusing_at},
                {refusing6_at, "connection refused by " + refusing6_at},
                {unresolvable + ":1865", "cannot resolve " + unresolvable}};
  for (run& r : runs) {
    r.client.emplace(scanclient_command({"--connect", std::to_string(r.bridge.port()), "--timeout",
                                         "10", "scan", r.uri, "-o", r.image.path()}));
  }

  for (run& r : runs) {
    client_result result;
    result.status = r.client->finish(30s);
    result.out = r.client->stdout_text();
    result.err = r.client->stderr_text();
    EXPECT_EQ(result.status, exited(1)) << result;
    EXPECT_EQ(error_line(result), "scanclient: cannot open device " + r.uri + ": " + r.reason)
        << result;
    // The output made before the scan is gone again.
    EXPECT_NE(::access((r.image.path() + ".part").c_str(), F_OK), 0);
    EXPECT_NE(::access(r.image.path().c_str(), F_OK), 0);
  }
  for (run& r : runs) {
    EXPECT_TRUE(r.bridge.running());
    if (r.outwaits_the_client) continue;
    ASSERT_NO_FATAL_FAILURE(expect_good_scan(r.bridge.port(), "nt"));
    ASSERT_NO_FATAL_FAILURE(expect_good_scan(r.bridge.port(), "is"));
  }
}

// After the oversized header the session is closed; the next DATA for the
// same device connects again (the emulator's every connection answers its
// first command so, hence a second such answer).
TEST(OversizedHeader, TheDeviceReconnectsOnTheNextData) {
  bridge_process bridge;
  // NT: the session closes without a closing exchange with the scanner.
  emulator_process scanner("nt", {"--oversized-header"});
  const link_client link = link_client::connect_retry(bridge.port());
  ASSERT_TRUE(link.connected());
  const std::uint32_t id = open_device(link, scanner.uri());
  ASSERT_EQ(id, 1u);
  const std::string mark = "answering with a header that announces";
  const auto answers = [&] {
    const std::string log = scanner.log();
    std::size_t n = 0;
    for (std::size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) ++n;
    return n;
  };

  for (std::size_t round = 1; round <= 2; ++round) {
    ASSERT_TRUE(link.send(id, KIND_DATA, {ESC, 'I'}));
    EXPECT_TRUE(link.ping()) << "no reply to a failed exchange, round " << round;
    EXPECT_EQ(answers(), round) << scanner.log();
  }
  EXPECT_TRUE(bridge.running());
  EXPECT_EQ(bridge.stderr_text(), "");
}

}  // namespace
}  // namespace scanbridge::testing
