// SPDX-License-Identifier: MIT
// One device opened through the bridge, seen from the driver's side: OPEN,
// CLOSE, DATA messages and their replies, and the parameter commands.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_DEVICE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_DEVICE_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "tools/scanclient/bridge_link.h"
#include "tools/scanclient/outcome.h"
#include "tools/scanclient/trace.h"

namespace scanbridge::tools {

// How long a reply may keep the client waiting before it asks the bridge, with
// a sync, whether one is coming at all. A bridge whose exchange with the
// scanner failed (the scanner closed the connection mid-scan, say) sends
// nothing for that DATA message.
inline constexpr int QUIET_BEFORE_SYNC_MS = 1000;

class device {
 public:
  // timeout_ms bounds every wait for a reply.
  device(bridge_link* link, int timeout_ms);
  // Closes the device if it is open.
  ~device();

  device(const device&) = delete;
  device& operator=(const device&) = delete;

  // Opens the device. When the bridge cannot, or does not answer in time,
  // `explain` (if given) says why in a few words; otherwise the text only
  // says that it could not.
  outcome open(std::string_view uri,
               const std::function<std::string(std::string_view uri)>& explain = {});
  // Sends CLOSE; the bridge does not answer it.
  void close();
  bool is_open() const { return id_ != 0; }
  std::uint32_t id() const { return id_; }
  int timeout_ms() const { return timeout_ms_; }
  // How the last receive() ended on the link.
  receive_status last_receive() const { return last_receive_; }

  // One DATA message. `note` describes it in the trace.
  outcome send(std::span<const std::uint8_t> bytes, std::string_view note = {});

  // One reply for this device. `what` names what the reply answers, for error
  // texts. Fails when the link fails, the wait times out (timeout_ms, or the
  // device's when 0), the bridge has no reply to send (last_receive() is then
  // NO_ANSWER) or the reply is not for this device. A reply whose status is -1
  // is returned all the same: what it means depends on the caller.
  outcome receive(const reply_hint& hint, std::string_view what, link_message* reply,
                  int timeout_ms = 0);

  // Sends a command and waits for its single ACK. NAK gives "scanner refused
  // <refused>".
  outcome command_ack(std::span<const std::uint8_t> bytes, std::string_view label,
                      std::string_view refused, std::string_view note = {});

  // Silence after which receive() sends a sync; negative: never.
  void set_sync_after(int ms) { sync_after_ms_ = ms; }

  // A parameter command: ESC letter, its answer, the parameter block, its
  // answer. `name` is what the user reads ("colour mode RGB").
  outcome set_parameter(std::uint8_t letter, std::string_view name,
                        std::span<const std::uint8_t> block, std::string_view block_note);

 private:
  bridge_link* link_;
  int timeout_ms_;
  int sync_after_ms_ = QUIET_BEFORE_SYNC_MS;
  std::uint32_t id_ = 0;
  receive_status last_receive_ = receive_status::OK;
};

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_DEVICE_H_
