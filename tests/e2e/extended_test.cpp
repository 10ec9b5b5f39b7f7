// SPDX-License-Identifier: MIT
// Extended mode through the bridge to the emulator's IS scanner: FS X, the
// 12-byte requests with their payloads, the 64-byte reply headers with
// theirs, and "FIN " back to legacy commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"
#include "tests/support/bridge_process.h"

namespace scanbridge::testing {
namespace {

// Empty when the reply header has the form of the protocol: 64 bytes, a
// 4-character code, 'x' and seven upper-case hex digits, then text fields
// with the end mark "#---".
std::string header_problem(const bytes& header) {
  if (header.size() != 64) return std::to_string(header.size()) + " bytes, not 64";
  for (std::size_t i = 0; i < 64; ++i) {
    if (header[i] < 0x20 || header[i] > 0x7E) return "byte " + std::to_string(i) + " is no text";
  }
  if (header[4] != 'x') return "no 'x' at byte 4";
  for (std::size_t i = 5; i < 12; ++i) {
    const bool digit =
        (header[i] >= '0' && header[i] <= '9') || (header[i] >= 'A' && header[i] <= 'F');
    if (!digit) return "byte " + std::to_string(i) + " is no upper-case hex digit";
  }
  const std::string text(header.begin() + 12, header.end());
  if (text.find("#---") == std::string::npos) return "no end mark #---";
  return std::string();
}

std::uint32_t announced_size(const bytes& header) {
  return static_cast<std::uint32_t>(
      std::stoul(std::string(header.begin() + 5, header.begin() + 12), nullptr, 16));
}

std::string text_of(const bytes& data) {
  return std::string(data.begin(), data.end());
}

std::string request_for(const char* code, std::size_t payload_size) {
  char text[16];
  std::snprintf(text, sizeof text, "%.4sx%07zX", code, payload_size);
  return text;
}

struct answer {
  bytes header;
  bytes payload;
};

class ExtendedMode : public ::testing::Test {
 protected:
  void open(const std::vector<std::string>& emulator_options = {}) {
    std::vector<std::string> options = {"--width", "64", "--height", "48", "--grey"};
    options.insert(options.end(), emulator_options.begin(), emulator_options.end());
    scanner_.emplace("is", options);
    link_ = link_client::connect_retry(bridge_.port());
    ASSERT_TRUE(link_.connected());
    id_ = open_device(link_, scanner_->uri());
    ASSERT_EQ(id_, 1u);
  }

  void enter() {
    const std::vector<link_reply> replies = exchange(link_, id_, {FS, 'X'}, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (link_reply{id_, 0, 0, 1, {ACK}}));
  }

  // One request without a payload; the reply header, checked for its form,
  // and the payload it announces.
  answer ask(const char* code) {
    answer got;
    const std::vector<link_reply> head = exchange(link_, id_, text_bytes(request_for(code, 0)), 1);
    if (head.size() != 1) return got;
    EXPECT_EQ(head[0].status, 0u);
    got.header = head[0].payload;
    const std::string problem = header_problem(got.header);
    EXPECT_EQ(problem, "") << "reply header to " << code << ": " << text_of(got.header);
    if (!problem.empty()) return got;
    EXPECT_EQ(text_of(got.header).substr(0, 4), std::string(code).substr(0, 4));
    const std::uint32_t size = announced_size(got.header);
    if (size == 0) return got;
    // The payload comes as the next reply to the same request.
    const std::optional<link_reply> payload = link_.receive();
    if (!payload) {
      ADD_FAILURE() << "the payload of " << size << " bytes announced by " << code
                    << " did not come";
      return got;
    }
    EXPECT_EQ(payload->id, id_);
    EXPECT_EQ(payload->status, 0u);
    EXPECT_EQ(payload->payload.size(), size);
    got.payload = payload->payload;
    return got;
  }

  // A request with a payload: the header first, which the bridge answers with
  // nothing once the scanner has taken it; then the payload in the next DATA,
  // answered with the reply header.
  answer send_with_payload(const char* code, const std::string& payload) {
    answer got;
    EXPECT_TRUE(link_.send(id_, KIND_DATA, text_bytes(request_for(code, payload.size()))));
    EXPECT_TRUE(link_.ping()) << "the request header alone is not answered";
    const std::vector<link_reply> head = exchange(link_, id_, text_bytes(payload), 1);
    if (head.size() != 1) return got;
    EXPECT_EQ(head[0].status, 0u);
    got.header = head[0].payload;
    EXPECT_EQ(header_problem(got.header), "") << text_of(got.header);
    return got;
  }

  // A legacy command works: the identity, as head and text.
  void expect_legacy_identity() {
    const std::vector<link_reply> replies = exchange(link_, id_, {ESC, 'I'}, 2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].payload, (bytes{0x02, 0x00, 14, 0x00}));
    EXPECT_EQ(text_of(replies[1].payload), "scanemu IS 1.2");
  }

  bridge_process bridge_;
  std::optional<emulator_process> scanner_;
  link_client link_{unique_fd()};
  std::uint32_t id_ = 0;
};

TEST_F(ExtendedMode, RequestsAndPayloadsPassThroughAndFinLeaves) {
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(enter());

  const answer info = ask("INFO");
  EXPECT_EQ(text_of(info.header).substr(0, 12), "INFOx0000025");
  EXPECT_EQ(text_of(info.payload), "model=scanemu\nvariant=IS\nversion=1.2\n");
  const answer capabilities = ask("CAPA");
  EXPECT_NE(text_of(capabilities.payload).find("modes=grey,colour\n"), std::string::npos)
      << text_of(capabilities.payload);

  // New settings as the payload of a request, then read back.
  const answer set = send_with_payload("PARA", "width=200 height=150 mode=colour block=9000");
  EXPECT_EQ(text_of(set.header).substr(0, 12), "PARAx0000000");
  EXPECT_EQ(text_of(set.header).find("#err"), std::string::npos) << text_of(set.header);
  const answer settings = ask("PARA");
  EXPECT_EQ(text_of(settings.payload).rfind("width=200\nheight=150\nmode=colour\nblock=9000\n", 0),
            0u)
      << text_of(settings.payload);

  // The image in chunks of the block size: ten of 9000 bytes.
  bytes image;
  for (int chunk = 1; chunk <= 10; ++chunk) {
    const answer part = ask("IMG ");
    ASSERT_EQ(part.payload.size(), 9000u) << "chunk " << chunk << ": " << text_of(part.header);
    const char* mark = chunk < 10 ? "#imgMORE" : "#imgLAST";
    EXPECT_NE(text_of(part.header).find(mark), std::string::npos) << text_of(part.header);
    image.insert(image.end(), part.payload.begin(), part.payload.end());
  }
  EXPECT_EQ(compare_with_pattern(image, {200, 150, true}), "");

  const answer fin = ask("FIN ");
  EXPECT_EQ(text_of(fin.header).substr(0, 12), "FIN x0000000");
  EXPECT_TRUE(link_.ping());
  ASSERT_NO_FATAL_FAILURE(expect_legacy_identity());

  // And in again.
  ASSERT_NO_FATAL_FAILURE(enter());
  EXPECT_EQ(text_of(ask("INFO").payload), "model=scanemu\nvariant=IS\nversion=1.2\n");
  ask("FIN ");
  ASSERT_NO_FATAL_FAILURE(expect_legacy_identity());
  EXPECT_TRUE(bridge_.running());
}

TEST_F(ExtendedMode, BusyFinKeepsExtendedModeOn) {
  ASSERT_NO_FATAL_FAILURE(open({"--fin-busy", "1"}));
  ASSERT_NO_FATAL_FAILURE(enter());
  const answer busy = ask("FIN ");
  EXPECT_NE(text_of(busy.header).find("#nrdBUSY"), std::string::npos) << text_of(busy.header);
  // Still extended: a 12-byte request is a request.
  EXPECT_EQ(text_of(ask("INFO").payload), "model=scanemu\nvariant=IS\nversion=1.2\n");
  const answer fin = ask("FIN ");
  EXPECT_EQ(text_of(fin.header).find("#nrdBUSY"), std::string::npos) << text_of(fin.header);
  ASSERT_NO_FATAL_FAILURE(expect_legacy_identity());
}

TEST_F(ExtendedMode, RefusedSettingsAreReportedInTheReplyHeader) {
  ASSERT_NO_FATAL_FAILURE(open({"--refuse-params"}));
  ASSERT_NO_FATAL_FAILURE(enter());
  const answer refused = send_with_payload("PARA", "width=10");
  EXPECT_NE(text_of(refused.header).find("#errPARA"), std::string::npos) << text_of(refused.header);
  ask("FIN ");
  ASSERT_NO_FATAL_FAILURE(expect_legacy_identity());
}

TEST_F(ExtendedMode, ScannerThatRefusesFsXKeepsTheDriverInLegacyMode) {
  ASSERT_NO_FATAL_FAILURE(open({"--no-extended"}));
  const std::vector<link_reply> replies = exchange(link_, id_, {FS, 'X'}, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].payload, bytes{NAK});
  ASSERT_NO_FATAL_FAILURE(expect_legacy_identity());
}

TEST_F(ExtendedMode, MalformedRequestEndsTheBridgeWithTheReason) {
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(enter());
  // Lower-case digits in the size field.
  ASSERT_TRUE(link_.send(id_, KIND_DATA, text_bytes("INFOx00000ff")));
  EXPECT_TRUE(link_.expect_eof());
  EXPECT_EQ(bridge_.wait_exit(), exited(1));
  EXPECT_NE(bridge_.stderr_text().find("bad size digit"), std::string::npos)
      << bridge_.stderr_text();
}

}  // namespace
}  // namespace scanbridge::testing
