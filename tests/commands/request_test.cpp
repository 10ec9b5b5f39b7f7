// SPDX-License-Identifier: MIT
#include "commands/request.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "tests/commands/command_testing.h"
#include "wire/codes.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;
using st = enum command::state;

constexpr std::uint8_t IS_REPLY = 0xA0;

// A 64-byte reply header: code and size field, blanks, and text fields at
// the given offsets.
bytes reply_header(std::string_view code_and_size,
                   std::initializer_list<std::pair<std::size_t, std::string_view>> fields = {}) {
  bytes h(REPLY_HEADER_SIZE, ' ');
  std::copy(code_and_size.begin(), code_and_size.end(), h.begin());
  for (const auto& [at, field] : fields) {
    std::copy(field.begin(), field.end(), h.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return h;
}

std::string text_at(const bytes& b, std::size_t at, std::size_t n) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                     b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

std::unique_ptr<request> make_request(std::string_view header) {
  const bytes b = text(header);
  return std::make_unique<request>(b.data(), b.size());
}

// A request without payload, started and drained: it waits for its header.
std::unique_ptr<request> waiting_request(std::string_view header = "INFOx0000000") {
  auto req = make_request(header);
  EXPECT_EQ(req->start(), packet_type::IS_ESC_THRU);
  drain(*req);
  return req;
}

// Construction and parse_size --------------------------------------------

struct malformed_case {
  std::string header;
  const char* what;
};

class request_malformed : public ::testing::TestWithParam<malformed_case> {};

TEST_P(request_malformed, Throws) {
  const bytes b = text(GetParam().header);
  try {
    request req(b.data(), b.size());
    FAIL() << "no throw for " << GetParam().header;
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), GetParam().what);
  }
}

INSTANTIATE_TEST_SUITE_P(all, request_malformed,
                         ::testing::Values(malformed_case{"INFOx000000", "bad request size"},
                                           malformed_case{"INFOx00000000", "bad request size"},
                                           malformed_case{"", "bad request size"},
                                           malformed_case{"INFOy0000000", "bad size spec"},
                                           malformed_case{"INFOX0000000", "bad size spec"},
                                           malformed_case{"INFOx00000ff", "bad size digit"},
                                           malformed_case{"INFOx000000G", "bad size digit"},
                                           malformed_case{"INFOx 000000", "bad size digit"}));

TEST(request, ParseSizeReadsSevenHexDigits) {
  const std::pair<const char*, std::size_t> cases[] = {
      {"INFOx0000000", 0},        {"INFOx0000010", 16},        {"INFOx00000FF", 255},
      {"INFOx0000100", 256},      {"INFOxABCDEF9", 0xABCDEF9}, {"INFOxFFFFFFF", 0xFFFFFFF},
      {"INFOx1234567", 0x1234567}};
  for (const auto& [header, size] : cases) {
    EXPECT_EQ(request::parse_size(text(header).data()), size) << header;
  }
}

// Requests out ------------------------------------------------------------

TEST(request, WithoutPayloadAsksForReplyHeaderAtOnce) {
  auto req = make_request("INFOx0000000");
  EXPECT_EQ(req->letter(), 0);
  EXPECT_EQ(req->prefix(), ESC);
  EXPECT_EQ(req->state(), st::INITIAL);
  EXPECT_EQ(req->pending_size(), 12u);
  EXPECT_EQ(req->start(), packet_type::IS_ESC_THRU);
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  EXPECT_EQ(req->pending_size(), 0u);
  EXPECT_EQ(drain(*req),
            (std::vector<bytes>{cat({{0, 0, 0, 0x0C, 0, 0, 0, 0x40}, text("INFOx0000000")})}));
}

TEST(request, WithPayloadWaitsForClientThenPadsPayload) {
  auto req = make_request("PARAx0000010");
  EXPECT_EQ(req->payload_size(), 16u);
  EXPECT_EQ(req->start(), packet_type::IS_ESC_THRU);
  EXPECT_EQ(req->state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(*req),
            (std::vector<bytes>{cat({{0, 0, 0, 0x0C, 0, 0, 0, 0}, text("PARAx0000010")})}));

  const bytes ten = counting(10);
  EXPECT_EQ(send(*req, ten), packet_type::IS_ESC_THRU);
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  EXPECT_EQ(req->payload_size(), 0u);
  EXPECT_EQ(drain(*req),
            (std::vector<bytes>{cat({{0, 0, 0, 0x10, 0, 0, 0, 0x40}, ten, bytes(6, 0)})}));

  const bytes header = reply_header("PARAx0000000");
  EXPECT_EQ(reply(*req, IS_REPLY, header), ACTION_ACCEPTED);
  EXPECT_EQ(req->state(), st::FINISHED);
  EXPECT_EQ(drain(*req), (std::vector<bytes>{header}));
}

TEST(request, PayloadBeyondAnnouncedSizeIsDropped) {
  auto req = make_request("PARAx0000004");
  req->start();
  drain(*req);
  EXPECT_EQ(send(*req, counting(9)), packet_type::IS_ESC_THRU);
  EXPECT_EQ(drain(*req), (std::vector<bytes>{cat({{0, 0, 0, 4, 0, 0, 0, 0x40}, counting(4)})}));
}

TEST(request, OutOfOrderCallsFailAndChangeNothing) {
  auto req = make_request("PARAx0000004");
  EXPECT_EQ(send(*req, counting(4)), ACTION_FAIL);  // INITIAL
  EXPECT_EQ(reply(*req, IS_REPLY, reply_header("PARAx0000000")), ACTION_FAIL);
  req->start();
  EXPECT_EQ(req->start(), ACTION_FAIL);
  EXPECT_EQ(reply(*req, IS_REPLY, reply_header("PARAx0000000")), ACTION_FAIL);  // WAIT_CLIENT
  EXPECT_EQ(req->state(), st::WAIT_CLIENT);
  EXPECT_EQ(req->size(), 1u);
  drain(*req);
  send(*req, counting(4));
  drain(*req);
  EXPECT_EQ(send(*req, counting(4)), ACTION_FAIL);  // WAIT_SCANNER
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  EXPECT_TRUE(req->empty());
}

// Replies in ------------------------------------------------------------

TEST(request, ReplyHeaderWithPayloadFetchesPayload) {
  auto req = waiting_request();
  const bytes header = reply_header("INFOx0000100");
  EXPECT_EQ(reply(*req, IS_REPLY, header), packet_type::IS_ESC_THRU);
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  EXPECT_EQ(req->reply_size(), 256u);
  EXPECT_EQ(req->pending_size(), 64u);
  EXPECT_EQ(drain(*req), (std::vector<bytes>{{0, 0, 0, 0, 0, 0, 0x01, 0}}));

  const bytes payload = counting(256);
  byte_array array = array_of(payload);
  const std::uint8_t* where = array.get();
  EXPECT_EQ(req->scanner_reply(IS_REPLY, std::move(array), payload.size()), ACTION_ACCEPTED);
  EXPECT_EQ(req->state(), st::FINISHED);
  ASSERT_EQ(req->size(), 2u);
  EXPECT_EQ(pop_front(*req), header);
  EXPECT_EQ(req->front().bytes.get(), where);  // relayed, not copied
  EXPECT_EQ(pop_front(*req), payload);

  EXPECT_EQ(reply(*req, IS_REPLY, header), ACTION_IGNORED);
  EXPECT_EQ(send(*req, {1}), ACTION_IGNORED);
  EXPECT_EQ(req->start(), ACTION_IGNORED);
  EXPECT_TRUE(req->empty());
}

TEST(request, UnusableReplyFailsAndChangesNothing) {
  bytes short_header = reply_header("INFOx0000000");
  short_header.pop_back();
  const std::pair<const char*, bytes> cases[] = {
      {"short", short_header},
      {"long", cat({reply_header("INFOx0000000"), {' '}})},
      {"size marker", reply_header("INFOy0000000")},
      {"digit", reply_header("INFOx00000ff")},
  };
  for (const auto& [name, b] : cases) {
    auto req = waiting_request();
    EXPECT_EQ(reply(*req, IS_REPLY, b), ACTION_FAIL) << name;
    EXPECT_EQ(req->state(), st::WAIT_SCANNER) << name;
    EXPECT_EQ(req->pending_size(), 0u) << name;
    EXPECT_TRUE(req->empty()) << name;
    // The request can still take a good header.
    EXPECT_EQ(reply(*req, IS_REPLY, reply_header("INFOx0000000")), ACTION_ACCEPTED) << name;
  }
  auto req = waiting_request();
  EXPECT_EQ(reply(*req, 0xA1, reply_header("INFOx0000000")), ACTION_FAIL);
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  EXPECT_TRUE(req->empty());
}

// Leaving extended mode -----------------------------------------------------

struct end_case {
  const char* name;
  bytes header;
  st after;
};

class request_end : public ::testing::TestWithParam<end_case> {};

TEST_P(request_end, FinLeavesExtendedModeUnlessBusy) {
  auto req = waiting_request();
  EXPECT_EQ(reply(*req, IS_REPLY, GetParam().header), ACTION_ACCEPTED);
  EXPECT_EQ(req->state(), GetParam().after);
  EXPECT_EQ(drain(*req), (std::vector<bytes>{GetParam().header}));
}

INSTANTIATE_TEST_SUITE_P(
    all, request_end,
    ::testing::Values(
        end_case{"fin", reply_header("FIN x0000000"), st::LEAVE_EXTENDED},
        end_case{"busy_12", reply_header("FIN x0000000", {{12, "#nrdBUSY"}}), st::FINISHED},
        end_case{"busy_52", reply_header("FIN x0000000", {{52, "#nrdBUSY"}}), st::FINISHED},
        end_case{"busy_14", reply_header("FIN x0000000", {{14, "#nrdBUSY"}}), st::LEAVE_EXTENDED},
        end_case{"busy_56", reply_header("FIN x0000000", {{56, "#nrdBUSY"}}), st::LEAVE_EXTENDED},
        end_case{"other", reply_header("IMG x0000000"), st::FINISHED},
        end_case{"lower", reply_header("fin x0000000"), st::FINISHED}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(request, FinWithPayloadLeavesAfterPayload) {
  auto req = waiting_request();
  reply(*req, IS_REPLY, reply_header("FIN x0000002"));
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  drain(*req);
  EXPECT_EQ(reply(*req, IS_REPLY, {1, 2}), ACTION_ACCEPTED);
  EXPECT_EQ(req->state(), st::LEAVE_EXTENDED);
  EXPECT_EQ(req->size(), 2u);
  EXPECT_EQ(reply(*req, IS_REPLY, {1, 2}), ACTION_FAIL);  // no longer waiting
}

// Cancel marking ----------------------------------------------------------

TEST(request, CancelledImageHeaderReachesClientMarked) {
  auto req = waiting_request("IMG x0000000");
  EXPECT_EQ(req->cancel(), ACTION_IGNORED);
  EXPECT_TRUE(req->cancelled());
  EXPECT_EQ(req->state(), st::WAIT_SCANNER);
  EXPECT_TRUE(req->empty());
  reply(*req, IS_REPLY, reply_header("IMG x0000100", {{12, "#---"}, {24, "#pst"}}));
  // The size was read before the rewrite: the payload is still fetched.
  EXPECT_EQ(drain(*req), (std::vector<bytes>{{0, 0, 0, 0, 0, 0, 0x01, 0}}));
  reply(*req, IS_REPLY, counting(256));
  const bytes header = pop_front(*req);
  EXPECT_EQ(header, reply_header("IMG x0000100", {{12, "#atnCAN #---#pst"}}));
}

TEST(request, CancelBeforeStartAndAfterFinishSticks) {
  auto req = make_request("IMG x0000000");
  EXPECT_EQ(req->cancel(), ACTION_IGNORED);
  req->start();
  drain(*req);
  reply(*req, IS_REPLY, reply_header("IMG x0000000", {{20, "#---"}}));
  EXPECT_EQ(text_at(pop_front(*req), 20, 12), "#atnCAN #---");
  EXPECT_EQ(req->cancel(), ACTION_IGNORED);
  EXPECT_TRUE(req->cancelled());
}

TEST(request, UncancelledHeaderIsNotRewritten) {
  auto req = waiting_request("IMG x0000000");
  const bytes header = reply_header("IMG x0000000", {{12, "#---"}});
  reply(*req, IS_REPLY, header);
  EXPECT_EQ(drain(*req), (std::vector<bytes>{header}));
}

struct mark_case {
  const char* name;
  bytes before;
  bytes after;
};

class request_mark : public ::testing::TestWithParam<mark_case> {};

TEST_P(request_mark, MarkCancelled) {
  bytes b = GetParam().before;
  request::mark_cancelled(b.data(), b.size());
  EXPECT_EQ(text_at(b, 0, b.size()), text_at(GetParam().after, 0, b.size()));
}

const bytes IMG = reply_header("IMG x0000000");

INSTANTIATE_TEST_SUITE_P(
    all, request_mark,
    ::testing::Values(mark_case{"first_only",
                                reply_header("IMG x0000000", {{16, "#---"}, {40, "#---"}}),
                                reply_header("IMG x0000000", {{16, "#atnCAN #---"}, {40, "#---"}})},
                      mark_case{"already",
                                reply_header("IMG x0000000", {{12, "#---"}, {40, "#atnCAN "}}),
                                reply_header("IMG x0000000", {{12, "#---"}, {40, "#atnCAN "}})},
                      mark_case{"fin", reply_header("FIN x0000000", {{12, "#---"}}),
                                reply_header("FIN x0000000", {{12, "#---"}})},
                      mark_case{"none", IMG, IMG},
                      // Starts exactly 8 before the end: marked, no room for "#---" behind.
                      mark_case{"at_56", reply_header("IMG x0000000", {{56, "#---"}}),
                                reply_header("IMG x0000000", {{56, "#atnCAN "}})},
                      // Exactly room for both.
                      mark_case{"at_52", reply_header("IMG x0000000", {{52, "#---"}}),
                                reply_header("IMG x0000000", {{52, "#atnCAN #---"}})},
                      mark_case{"at_53", reply_header("IMG x0000000", {{53, "#---"}}),
                                reply_header("IMG x0000000", {{53, "#atnCAN "}})},
                      mark_case{"too_late", reply_header("IMG x0000000", {{57, "#---"}}),
                                reply_header("IMG x0000000", {{57, "#---"}})},
                      mark_case{"short", text("IMG #---"), text("IMG #---")},
                      mark_case{"tiny", text("IM"), text("IM")}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace scanbridge
