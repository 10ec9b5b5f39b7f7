// SPDX-License-Identifier: MIT
// Scanner packets as the emulator sends and receives them: a 12-byte header
// (magic, type, flag, reserved, header size, big-endian payload length,
// reserved word) and the payload.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_PACKET_H_
#define SCANBRIDGE_TOOLS_SCANEMU_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/byte_order.h"
#include "tools/scanemu/connection.h"
#include "tools/scanemu/options.h"
#include "wire/codes.h"

namespace scanbridge::tools::scanemu {

inline constexpr std::size_t HEADER_SIZE = 12;

struct packet {
  std::uint8_t type = 0;
  std::uint8_t flag = 0;
  std::vector<std::uint8_t> payload;
};

// Writes the header of a packet with the given magic ("NT" or "IS") to out.
void put_header(std::uint8_t* out, std::string_view magic, std::uint8_t type, std::uint8_t flag,
                std::uint32_t length);

// All-or-nothing socket I/O. Writes never raise SIGPIPE.
bool write_all(int fd, const void* data, std::size_t n);
enum class read_status { OK, END, FAILED };
read_status read_exact(int fd, void* data, std::size_t n);

// The packet stream of one connection, with its logging.
class packet_channel {
 public:
  packet_channel(connection_control& control, std::string_view magic,
                 const emulator_options& options, int id);

  enum class event { PACKET, WAKE, CLOSED };

  // Blocks until a packet has arrived (stored in out), a request is posted
  // to the connection, or the connection has ended.
  event wait(packet& out);
  // The same without blocking; nothing when no input and no request waits.
  std::optional<event> poll(packet& out);

  // Sends one packet after the --delay-ms pause.
  bool send(std::uint8_t type, std::uint8_t flag, const std::vector<std::uint8_t>& payload);
  // Sends a header announcing length bytes and no payload at all.
  bool send_header_only(std::uint8_t type, std::uint32_t length);
  // Sends bytes that already hold whole packets, after the pause.
  bool send_framed(const std::uint8_t* data, std::size_t n);
  // Reads and drops everything until the peer closes or the emulator stops.
  void discard_until_closed();
  // Waits, bounded, until the peer has taken every byte sent so far.
  void wait_until_sent();

  std::string_view magic() const { return magic_; }
  connection_control& control() { return control_; }
  bool verbose() const { return options_.verbose; }
  // One line on stderr, marked with the connection number.
  void log(const std::string& text) const;

 private:
  event read_packet_(packet& out);
  void pause_();

  connection_control& control_;
  std::string magic_;
  const emulator_options& options_;
  std::string prefix_;
  std::vector<std::uint8_t> out_;
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_PACKET_H_
