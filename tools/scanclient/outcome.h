// SPDX-License-Identifier: MIT
// The result of a client operation that can fail: success, failure with one
// line of text for the user, or a cancel the user asked for.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_OUTCOME_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_OUTCOME_H_

#include <string>
#include <utility>

namespace scanbridge::tools {

class outcome {
 public:
  static outcome ok() { return outcome(kind::OK, std::string()); }
  static outcome failure(std::string message) { return outcome(kind::FAILURE, std::move(message)); }
  static outcome cancelled(std::string message) {
    return outcome(kind::CANCELLED, std::move(message));
  }

  bool is_ok() const { return kind_ == kind::OK; }
  bool is_cancelled() const { return kind_ == kind::CANCELLED; }
  const std::string& message() const { return message_; }

 private:
  enum class kind { OK, FAILURE, CANCELLED };
  outcome(kind k, std::string message) : kind_(k), message_(std::move(message)) {}

  kind kind_;
  std::string message_;
};

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_OUTCOME_H_
