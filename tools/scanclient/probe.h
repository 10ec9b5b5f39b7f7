// SPDX-License-Identifier: MIT
// The questions a probe asks an open device (identity and status) and the
// report of what came back, with the time each exchange took.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_PROBE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_PROBE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/scanclient/device.h"
#include "tools/scanclient/link_message.h"
#include "tools/scanclient/outcome.h"

namespace scanbridge::tools {

struct probe_query {
  std::string name;                   // "identity"
  std::vector<std::uint8_t> command;  // ESC I
  bool variable = false;              // answered with a head and then data
  bool optional = false;              // not every scanner answers it
};

// ESC I, ESC F, then FS S and FS I, which not every scanner answers.
std::vector<probe_query> probe_queries();

struct probe_result {
  enum class state {
    ANSWERED,
    FAILED,     // the bridge answered with status -1
    NO_ANSWER,  // an optional query went unanswered
    ERROR,      // no usable answer; `note` says why
    SKIPPED,    // not asked after an earlier query went wrong
  };
  probe_query query;
  state result = state::SKIPPED;
  std::vector<link_message> replies;
  double ms = 0;
  std::string note;
};

struct probe_report {
  std::vector<probe_result> results;
};

// Asks every query. After a query that went wrong the rest are skipped, since
// a late answer could not be told from the next one. optional_timeout_ms
// bounds the wait for optional queries. Fails when a query that is not
// optional got no answer.
// on_result, when set, sees each result as soon as it is known.
outcome run_probe(device* scanner, int optional_timeout_ms, probe_report* report,
                  const std::function<void(const probe_result&)>& on_result = {});

// The lines of one result: "identity  ESC I  head 02 00 10 00 (...)  1.2 ms",
// then the data, each line with the label column of `label_width`.
std::vector<std::string> format_probe_result(const probe_result& result, std::size_t label_width);

// What the answers prove about the protocol variant; empty when they prove
// nothing, as the bridge does not report it.
std::string variant_verdict(const probe_report& report);

// "1.23 ms", "12.3 ms", "1.23 s"
std::string format_ms(double ms);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_PROBE_H_
