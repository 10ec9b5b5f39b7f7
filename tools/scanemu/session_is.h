// SPDX-License-Identifier: MIT
// The IS variant: an open and a close request (0x21), commands in 0x20
// packets behind an 8-byte chunk prefix [BE length][BE reply size], every
// answer a 0xA0 packet of exactly the reply size asked for; scans fetched
// with a transfer request (0x22) and streamed as 0xA2 packets; extended mode
// after FS X, Y or Z.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_SESSION_IS_H_
#define SCANBRIDGE_TOOLS_SCANEMU_SESSION_IS_H_

#include <optional>
#include <string>
#include <vector>

#include "tools/scanemu/extended_requests.h"
#include "tools/scanemu/session.h"

namespace scanbridge::tools::scanemu {

class session_is : public session {
 public:
  session_is(connection_control& control, const emulator_options& options, int id);

 protected:
  std::uint8_t notice_type() const override { return 0x90; }
  bool is_command_(const packet& p) const override;
  bool accepts_notices_() const override { return opened_; }
  bool handle_(packet& p) override;

 private:
  using bytes = std::vector<std::uint8_t>;

  bool control_(const packet& p);
  bool transfer_(const packet& p);
  bool chunk_(const packet& p);
  bool legacy_(const bytes& data, std::uint32_t reply_size);
  bool esc_command_(std::uint8_t prefix, std::uint8_t letter, std::uint32_t reply_size);
  bool fs_command_(std::uint8_t letter, std::uint32_t reply_size);
  bool extended_(const bytes& data, std::uint32_t reply_size);
  bool send_extended_(extended_requests::answer answer, std::uint32_t reply_size);
  // Sends the first reply_size bytes of the answer, zero-padded, and keeps
  // the rest for the next prefix-only request. What names the answer in the
  // line logged when its size differs from the one asked for; nothing when
  // the peer is expected to ask for less.
  bool answer_(const bytes& answer, std::uint32_t reply_size, const char* what);
  bool serve_pending_(std::uint32_t reply_size);

  struct announced_request {
    std::string code;
    std::uint32_t size;
  };

  bool opened_ = false;
  bool extended_mode_ = false;
  // Reply bytes the peer has yet to fetch.
  bytes pending_;
  // The setting command whose value comes in the next packet.
  std::optional<std::uint16_t> awaiting_value_;
  // The scan announced by the information block last sent.
  std::optional<scan_layout> awaiting_transfer_;
  // The extended request whose payload comes in the next packet.
  std::optional<announced_request> awaiting_payload_;
  extended_requests extended_requests_;
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_SESSION_IS_H_
