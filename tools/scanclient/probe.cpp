// SPDX-License-Identifier: MIT
#include "tools/scanclient/probe.h"

#include <chrono>
#include <cstdio>

#include "tools/scanclient/scan_protocol.h"
#include "tools/scanclient/trace.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

double ms_since(clock::time_point start) {
  return std::chrono::duration<double, std::milli>(clock::now() - start).count();
}

std::string pad(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// The bytes as hex when short, as text when they read as text, then a dump
// when there is more to see than one line shows.
void append_bytes(std::span<const std::uint8_t> bytes, const std::string& indent,
                  std::vector<std::string>* lines, std::string* first) {
  if (bytes.empty()) {
    *first += "no bytes";
    return;
  }
  if (bytes.size() <= 8) {
    *first += hex_bytes(bytes);
    return;
  }
  *first += std::to_string(bytes.size()) + " bytes";
  if (looks_like_text(bytes)) *first += "  " + quoted_text(bytes, 64);
  std::string dump = hexdump(bytes, indent);
  std::size_t start = 0;
  while (start < dump.size()) {
    const std::size_t end = dump.find('\n', start);
    lines->push_back(dump.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

std::vector<probe_query> probe_queries() {
  return {
      {"identity", {ESC, 'I'}, true, false},
      {"status", {ESC, 'F'}, false, false},
      {"FS S", {FS, 'S'}, false, true},
      {"FS I", {FS, 'I'}, false, true},
  };
}

outcome run_probe(device* scanner, int optional_timeout_ms, probe_report* report,
                  const std::function<void(const probe_result&)>& on_result) {
  outcome overall = outcome::ok();
  bool stop = false;
  for (const probe_query& query : probe_queries()) {
    probe_result result;
    result.query = query;
    if (stop) {
      result.note = "not asked after the query before it went wrong";
      if (on_result) on_result(result);
      report->results.push_back(std::move(result));
      continue;
    }
    const std::string command = describe_command(query.command);
    const int timeout_ms = query.optional ? optional_timeout_ms : scanner->timeout_ms();
    const clock::time_point start = clock::now();
    outcome step = scanner->send(query.command);
    link_message reply;
    if (step.is_ok()) {
      const reply_hint hint = {query.variable ? reply_kind::VAR_HEAD : reply_kind::ANY,
                               query.variable ? "head" : ""};
      step = scanner->receive(hint, "the answer to " + command, &reply, timeout_ms);
    }
    if (step.is_ok() && reply.header.status == 0 && query.variable) {
      result.replies.push_back(std::move(reply));
      reply = link_message();
      step = scanner->receive({reply_kind::VAR_DATA, "data"}, "the data of " + command, &reply,
                              timeout_ms);
    }
    result.ms = ms_since(start);
    if (step.is_cancelled()) return step;
    if (!step.is_ok()) {
      const bool timed_out = scanner->last_receive() == receive_status::TIMEOUT;
      const bool unanswered = query.optional && result.replies.empty() &&
                              (timed_out || scanner->last_receive() == receive_status::NO_ANSWER);
      result.result = unanswered ? probe_result::state::NO_ANSWER : probe_result::state::ERROR;
      char text[64];
      std::snprintf(text, sizeof(text), "no answer within %g s", timeout_ms / 1000.0);
      result.note = !unanswered ? step.message() : timed_out ? text : "no answer";
      stop = true;
      if (!query.optional && overall.is_ok()) {
        overall = outcome::failure(query.name + " (" + command + "): " + step.message());
      }
    } else if (reply.header.status != 0) {
      result.replies.push_back(std::move(reply));
      result.result = probe_result::state::FAILED;
      result.note = "the exchange failed (reply status -1)";
      stop = true;
      if (!query.optional && overall.is_ok()) {
        overall = outcome::failure(query.name + " (" + command + "): " + result.note);
      }
    } else {
      result.replies.push_back(std::move(reply));
      result.result = probe_result::state::ANSWERED;
    }
    if (on_result) on_result(result);
    report->results.push_back(std::move(result));
  }
  return overall;
}

std::vector<std::string> format_probe_result(const probe_result& result, std::size_t label_width) {
  const std::string indent(label_width, ' ');
  std::vector<std::string> lines;
  std::vector<std::string> more;
  std::string first =
      pad(result.query.name, label_width) + describe_command(result.query.command) + "  ";
  switch (result.result) {
    case probe_result::state::SKIPPED:
      first += "skipped: " + result.note;
      lines.push_back(first);
      return lines;
    case probe_result::state::NO_ANSWER:
      first += result.note;
      lines.push_back(first);
      return lines;
    case probe_result::state::ERROR:
      first += "error: " + result.note;
      break;
    case probe_result::state::FAILED:
      first += result.note;
      if (!result.replies.empty() && !result.replies.back().payload.empty()) {
        first += ", with " + hex_bytes(result.replies.back().payload);
      }
      break;
    case probe_result::state::ANSWERED:
      if (result.query.variable && result.replies.size() == 2) {
        const std::vector<std::uint8_t>& head = result.replies[0].payload;
        var_head parsed;
        first += "head " + hex_bytes(head);
        if (parse_var_head(head, &parsed)) {
          char text[64];
          std::snprintf(text, sizeof(text), " (STX, status 0x%02X, %u bytes)", parsed.status,
                        static_cast<unsigned>(parsed.length));
          first += text;
        }
        std::string data = indent + "data ";
        append_bytes(result.replies[1].payload, indent + "  ", &more, &data);
        more.insert(more.begin(), data);
      } else if (!result.replies.empty()) {
        const std::vector<std::uint8_t>& payload = result.replies.back().payload;
        if (payload.size() == 1 && payload[0] == NAK) {
          first += "NAK (not supported)";
        } else {
          append_bytes(payload, indent + "  ", &more, &first);
        }
      }
      break;
  }
  first += "  [" + format_ms(result.ms) + "]";
  lines.push_back(first);
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

std::string variant_verdict(const probe_report& report) {
  // The bridge does not say which variant the scanner greeted with. An IS
  // session asks the scanner for exactly 64 bytes for FS S and 80 for FS I,
  // while an NT session passes whatever the scanner answers: answers of other
  // sizes can only have come through NT. Answers of those sizes prove
  // nothing, since an NT scanner may give them too.
  struct expected_size {
    const char* query;
    std::size_t is_size;
  };
  static constexpr expected_size kFixedInIs[] = {{"FS S", 64}, {"FS I", 80}};
  std::string odd;
  for (const probe_result& result : report.results) {
    if (result.result != probe_result::state::ANSWERED || result.replies.empty()) continue;
    const std::size_t size = result.replies.back().payload.size();
    for (const expected_size& fixed : kFixedInIs) {
      if (result.query.name != fixed.query || size == fixed.is_size) continue;
      odd += (odd.empty() ? "" : ", ") + result.query.name + " answered with " +
             std::to_string(size) + (size == 1 ? " byte" : " bytes") + " (IS gives " +
             std::to_string(fixed.is_size) + ")";
    }
  }
  return odd.empty() ? std::string() : "NT: " + odd;
}

std::string format_ms(double ms) {
  char text[32];
  if (ms >= 1000) {
    std::snprintf(text, sizeof(text), "%.2f s", ms / 1000);
  } else {
    std::snprintf(text, sizeof(text), ms < 10 ? "%.2f ms" : "%.1f ms", ms);
  }
  return text;
}

}  // namespace scanbridge::tools
