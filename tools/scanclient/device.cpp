// SPDX-License-Identifier: MIT
#include "tools/scanclient/device.h"

#include <vector>

#include "tools/scanclient/scan_protocol.h"

namespace scanbridge::tools {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

device::device(bridge_link* link, int timeout_ms) : link_(link), timeout_ms_(timeout_ms) {}

device::~device() {
  close();
}

outcome device::open(std::string_view uri,
                     const std::function<std::string(std::string_view uri)>& explain) {
  if (!link_->send(KIND_OPEN, 0, as_bytes(uri))) {
    return outcome::failure("cannot send OPEN to the bridge: " + link_->error());
  }
  link_message reply;
  const receive_status status = link_->receive(timeout_ms_, {reply_kind::OPEN, ""}, &reply);
  if (status == receive_status::INTERRUPTED) return outcome::cancelled("interrupted");
  // A scanner that takes the connection and never greets keeps the bridge
  // waiting longer than the client does.
  const bool timed_out = status == receive_status::TIMEOUT && explain;
  if (status != receive_status::OK && !timed_out) {
    return outcome::failure(describe(status, timeout_ms_) + " (waiting for the answer to OPEN)");
  }
  if (timed_out || reply.header.status != 0 || reply.header.id == 0) {
    const std::string why = explain ? explain(uri) : "the bridge could not connect to the scanner";
    return outcome::failure("cannot open device " + std::string(uri) + ": " + why);
  }
  id_ = reply.header.id;
  return outcome::ok();
}

void device::close() {
  if (id_ == 0) return;
  link_->send(KIND_CLOSE, id_, {});
  id_ = 0;
}

outcome device::send(std::span<const std::uint8_t> bytes, std::string_view note) {
  if (!link_->send(KIND_DATA, id_, bytes, note)) {
    return outcome::failure("connection to the bridge lost: " + link_->error());
  }
  return outcome::ok();
}

outcome device::receive(const reply_hint& hint, std::string_view what, link_message* reply,
                        int timeout_ms) {
  const int wait_ms = timeout_ms > 0 ? timeout_ms : timeout_ms_;
  const receive_status status = link_->receive(wait_ms, hint, reply, sync_after_ms_);
  last_receive_ = status;
  const std::string waiting = " (waiting for " + std::string(what) + ")";
  switch (status) {
    case receive_status::OK:
      break;
    case receive_status::INTERRUPTED:
      return outcome::cancelled("interrupted");
    case receive_status::CLOSED:
      return outcome::failure("connection to the bridge lost: the bridge closed it" + waiting);
    case receive_status::FAILED:
      return outcome::failure("connection to the bridge lost: " + link_->error() + waiting);
    case receive_status::TIMEOUT:
    case receive_status::TOO_LARGE:
    case receive_status::NO_ANSWER:
      return outcome::failure(describe(status, wait_ms) + waiting);
  }
  const link_header& header = reply->header;
  if (header.id == 0 && header.status == -1 && reply->payload.size() == 1 &&
      reply->payload[0] == NAK) {
    return outcome::failure("the bridge has no device " + std::to_string(id_) +
                            " open (it answered NAK)" + waiting);
  }
  if (header.id != id_) {
    return outcome::failure("unexpected reply for device " + std::to_string(header.id) +
                            " (status " + std::to_string(header.status) + ", " +
                            std::to_string(reply->payload.size()) + " bytes)" + waiting);
  }
  return outcome::ok();
}

outcome device::command_ack(std::span<const std::uint8_t> bytes, std::string_view label,
                            std::string_view refused, std::string_view note) {
  outcome sent = send(bytes, note);
  if (!sent.is_ok()) return sent;
  link_message reply;
  const std::string what = "the answer to " + std::string(label);
  outcome received = receive({reply_kind::ANSWER, std::string(label)}, what, &reply);
  if (!received.is_ok()) return received;
  if (reply.header.status != 0) {
    return outcome::failure("the exchange for " + std::string(label) +
                            " failed (reply status -1): the scanner did not answer it properly");
  }
  if (reply.payload.size() == 1 && reply.payload[0] == ACK) return outcome::ok();
  if (reply.payload.size() == 1 && reply.payload[0] == NAK) {
    return outcome::failure("scanner refused " + std::string(refused) + " (NAK to " +
                            std::string(label) + ")");
  }
  return outcome::failure("unexpected answer to " + std::string(label) + ": " +
                          abbreviated_hex(reply.payload) + " (expected ACK or NAK)");
}

outcome device::set_parameter(std::uint8_t letter, std::string_view name,
                              std::span<const std::uint8_t> block, std::string_view block_note) {
  const std::uint8_t command[] = {ESC, letter};
  std::string label = "ESC ";
  label.push_back(static_cast<char>(letter));
  outcome answered = command_ack(command, label, name);
  if (!answered.is_ok()) return answered;
  return command_ack(block, label + " parameters", name,
                     label + " parameters: " + std::string(block_note));
}

}  // namespace scanbridge::tools
