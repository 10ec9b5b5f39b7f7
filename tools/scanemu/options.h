// SPDX-License-Identifier: MIT
// Command-line options of scanemu: what the emulated scanner looks like and
// which faults it plays.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_OPTIONS_H_
#define SCANBRIDGE_TOOLS_SCANEMU_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scanbridge::tools::scanemu {

enum class variant { NT, IS };

// The largest data block the emulator sends, and the largest payload it
// accepts from its peer or is asked to return in one reply. Far above
// anything a well-behaved peer needs; a length beyond it is taken as a
// broken peer.
inline constexpr std::uint32_t MAX_BLOCK_SIZE = 64u << 20;

struct emulator_options {
  variant protocol = variant::NT;
  // The numeric address to listen on, IPv4 or IPv6 (without brackets).
  std::string address = "127.0.0.1";
  int port = 1865;

  // Scan geometry until the peer sets its own.
  std::uint32_t width = 850;
  std::uint32_t height = 1100;
  bool colour = false;
  std::uint16_t resolution = 100;
  // 0: as many whole lines as fit in 64 KiB.
  std::uint32_t block_size = 0;

  std::uint8_t greeting_major = 1;
  std::uint8_t greeting_minor = 2;
  std::uint8_t greeting_status = 0;

  bool verbose = false;
  bool help = false;
  bool version = false;
  std::uint32_t max_connections = 32;

  // Notices.
  std::uint32_t notice_every = 0;
  std::uint8_t notice_code = 1;
  std::uint32_t notice_storm = 0;
  std::uint32_t disconnect_after = 0;
  bool no_notice_report = false;

  // Extended mode.
  bool nt_extended = false;
  bool no_extended = false;
  std::uint32_t fin_busy = 0;

  // Faults.
  std::optional<std::uint64_t> reset_after_blocks;
  bool close_after_greeting = false;
  bool wrong_magic = false;
  bool oversized_header = false;
  std::uint32_t delay_ms = 0;
  bool refuse_params = false;
};

struct parse_result {
  emulator_options options;
  // Empty when the arguments were understood.
  std::string error;
};

// Parses the arguments after the program name, in the GNU style: "--name
// value", "--name=value", "-p 0", "-p0", "-v".
parse_result parse_options(const std::vector<std::string>& args);

// The long option names, without their "--", --help and --version included.
std::vector<std::string> option_names();

// The text that --help prints.
std::string help_text();

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_OPTIONS_H_
