// SPDX-License-Identifier: MIT
// One connection of the emulated scanner: the greeting, the loop over the
// peer's packets, and what both variants share (notices on demand, the
// fault modes, streaming scan data).
#ifndef SCANBRIDGE_TOOLS_SCANEMU_SESSION_H_
#define SCANBRIDGE_TOOLS_SCANEMU_SESSION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/scanemu/connection.h"
#include "tools/scanemu/options.h"
#include "tools/scanemu/packet.h"
#include "tools/scanemu/scan_layout.h"
#include "tools/scanemu/scanner_model.h"

namespace scanbridge::tools::scanemu {

inline constexpr std::uint8_t GREETING = 0x80;
// The event code that tells the peer the scanner goes away, in both variants.
inline constexpr std::uint8_t DISCONNECT_EVENT = 0x02;
// What --oversized-header announces: far beyond any sensible payload.
inline constexpr std::uint32_t OVERSIZED_LENGTH = 1u << 30;

class session {
 public:
  session(connection_control& control, const emulator_options& options, int id,
          std::string_view magic);
  virtual ~session() = default;

  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Serves the connection until the peer leaves, an error ends it or the
  // emulator stops. The caller closes the socket afterwards.
  void run();

 protected:
  virtual std::uint8_t notice_type() const = 0;
  // Packets that count for --notice-every and --disconnect-after.
  virtual bool is_command_(const packet& p) const = 0;
  // Whether notices may be sent now (IS: not before the open request).
  virtual bool accepts_notices_() const { return true; }
  // Answers one packet; false ends the connection.
  virtual bool handle_(packet& p) = 0;

  // Sends the answer to a command, with the notices and faults that go
  // before it. False ends the connection.
  bool send_reply_(std::uint8_t type, std::uint8_t flag, const std::vector<std::uint8_t>& payload);

  enum class stream_end { COMPLETED, INTERRUPTED, CLOSED };
  // Sends every data block of the layout as packets of the type, each the
  // image bytes plus status byte 0, and stops early when the peer sends a
  // packet before the last block has gone (kept in interruption) or the
  // connection ends. A packet after the last block is left for the loop.
  stream_end stream_(std::uint8_t type, const scan_layout& layout, packet& interruption);
  // Makes the packet the next one the loop handles.
  void defer_(packet p) { deferred_ = std::move(p); }

  void log_(const std::string& text) const { channel_.log(text); }

  const emulator_options& options_;
  packet_channel channel_;
  scanner_model scanner_;

 private:
  bool greet_();
  bool count_command_();
  bool handle_requests_();
  bool send_notice_(std::uint8_t code);
  bool reset_due_() const;
  void reset_connection_();

  std::optional<packet> deferred_;
  std::uint64_t commands_ = 0;
  std::uint64_t blocks_sent_ = 0;
  bool oversized_sent_ = false;
  bool draining_ = false;
  std::vector<std::uint8_t> batch_;
};

// The session for the variant chosen on the command line.
std::unique_ptr<session> make_session(connection_control& control, const emulator_options& options,
                                      int id);

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_SESSION_H_
