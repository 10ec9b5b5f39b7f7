// SPDX-License-Identifier: MIT
#include "tools/scanemu/options.h"

#include <netdb.h>
#include <sys/socket.h>

#include <functional>
#include <limits>
#include <string_view>

#include "tools/common/command_line.h"

namespace scanbridge::tools::scanemu {
namespace {

// "MAJOR.MINOR", each 0 to 255.
bool parse_version(std::string_view text, std::uint8_t& major, std::uint8_t& minor) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return false;
  return parse_number(text.substr(0, dot), 0, 255, &major) &&
         parse_number(text.substr(dot + 1), 0, 255, &minor);
}

struct option_entry {
  const char* name;
  char letter;  // the short form; 0 for none
  bool takes_value;
  // What a valid value looks like, for the message about a bad one.
  std::string wanted;
  // Applies the value (empty for flags); false when it is not acceptable.
  std::function<bool(emulator_options&, std::string_view)> apply;
};

option_entry flag(const char* name, bool emulator_options::*member, bool value = true,
                  char letter = 0) {
  return {name, letter, false, "", [member, value](emulator_options& opt, std::string_view) {
            opt.*member = value;
            return true;
          }};
}

template <typename T>
option_entry number(const char* name, T emulator_options::*member, std::uint64_t min,
                    std::uint64_t max, char letter = 0) {
  return {name, letter, true, "a number from " + std::to_string(min) + " to " + std::to_string(max),
          [member, min, max](emulator_options& opt, std::string_view v) {
            return parse_number(v, min, max, &(opt.*member));
          }};
}

bool set_variant(emulator_options& opt, std::string_view v) {
  if (v == "nt" || v == "NT") {
    opt.protocol = variant::NT;
  } else if (v == "is" || v == "IS") {
    opt.protocol = variant::IS;
  } else {
    return false;
  }
  return true;
}

// A numeric IPv4 or IPv6 address, an IPv6 one with or without brackets and
// optionally with a zone ("fe80::1%eth0"). Names are refused: the emulator
// says exactly where it listens.
bool set_address(emulator_options& opt, std::string_view v) {
  if (v.size() >= 2 && v.front() == '[' && v.back() == ']') v = v.substr(1, v.size() - 2);
  const std::string text(v);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (text.empty() || ::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  opt.address = text;
  return true;
}

bool set_greeting_version(emulator_options& opt, std::string_view v) {
  return parse_version(v, opt.greeting_major, opt.greeting_minor);
}

bool set_reset_after_blocks(emulator_options& opt, std::string_view v) {
  std::uint64_t blocks = 0;
  if (!parse_number(v, 0, std::numeric_limits<std::uint64_t>::max(), &blocks)) return false;
  opt.reset_after_blocks = blocks;
  return true;
}

// The codes of the options that the table does not apply.
enum : int { HELP = 1000, VERSION };

const std::vector<option_entry>& option_table() {
  using o = emulator_options;
  constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
  static const std::vector<option_entry> table = {
      {"variant", 0, true, "nt or is", set_variant},
      {"address", 0, true, "a numeric IPv4 or IPv6 address", set_address},
      number("port", &o::port, 0, 65535, 'p'),
      number("width", &o::width, 1, 65535),
      number("height", &o::height, 1, 65535),
      flag("colour", &o::colour),
      flag("color", &o::colour),
      flag("grey", &o::colour, false),
      flag("gray", &o::colour, false),
      number("resolution", &o::resolution, 1, 65535),
      number("block-size", &o::block_size, 1, MAX_BLOCK_SIZE),
      {"greeting-version", 0, true, "MAJOR.MINOR, each from 0 to 255", set_greeting_version},
      number("greeting-status", &o::greeting_status, 0, 255),
      flag("verbose", &o::verbose, true, 'v'),
      number("max-connections", &o::max_connections, 1, 1024),
      number("notice-every", &o::notice_every, 1, kU32),
      number("notice-code", &o::notice_code, 0, 255),
      number("notice-storm", &o::notice_storm, 1, 100000),
      number("disconnect-after", &o::disconnect_after, 1, kU32),
      flag("no-notice-report", &o::no_notice_report),
      flag("nt-extended", &o::nt_extended),
      flag("no-extended", &o::no_extended),
      number("fin-busy", &o::fin_busy, 1, kU32),
      {"reset-after-blocks", 0, true, "a number of blocks", set_reset_after_blocks},
      flag("close-after-greeting", &o::close_after_greeting),
      flag("wrong-magic", &o::wrong_magic),
      flag("oversized-header", &o::oversized_header),
      number("delay-ms", &o::delay_ms, 0, 60000),
      flag("refuse-params", &o::refuse_params),
  };
  return table;
}

std::vector<option_def> option_defs() {
  const std::vector<option_entry>& table = option_table();
  std::vector<option_def> defs = {{"help", 'h', false, HELP}, {"version", 'V', false, VERSION}};
  for (std::size_t i = 0; i < table.size(); ++i) {
    defs.push_back({table[i].name, table[i].letter, table[i].takes_value, static_cast<int>(i)});
  }
  return defs;
}

}  // namespace

std::vector<std::string> option_names() {
  std::vector<std::string> names;
  for (const option_def& def : option_defs()) names.push_back(def.name);
  return names;
}

parse_result parse_options(const std::vector<std::string>& args) {
  parse_result result;
  std::vector<given_option> given;
  std::vector<std::string> operands;
  if (!parse_command_line(args, option_defs(), &given, &operands, &result.error)) return result;
  for (const given_option& option : given) {
    if (option.code == HELP) {
      result.help = true;
    } else if (option.code == VERSION) {
      result.version = true;
    } else {
      const option_entry& entry = option_table()[static_cast<std::size_t>(option.code)];
      if (!entry.apply(result.options, option.value)) {
        result.error = bad_value(option, entry.wanted);
        return result;
      }
    }
  }
  if (!operands.empty()) {
    result.error = "unexpected argument '" + operands.front() + "'";
  } else if (result.options.nt_extended && result.options.no_extended) {
    result.error = "options '--nt-extended' and '--no-extended' exclude each other";
  }
  return result;
}

std::string help_text() {
  return R"(Usage: scanemu [OPTIONS]

Emulates a network scanner so that the bridge can be run and tested without
hardware. Listens on 127.0.0.1 (or --address), prints the port as the first
line on standard output, and serves every connection on its own thread until
SIGTERM or SIGINT.
SIGUSR1 sends a notice (event --notice-code) on every open connection; SIGUSR2
sends every connection a disconnect event and closes it.

Protocol
  --variant nt|is        packet variant to speak (default nt)
  --address ADDR         numeric IPv4 or IPv6 address to listen on, e.g. ::1
                         (default 127.0.0.1)
  -p, --port N           TCP port, 0 lets the system choose (default 1865)
  --greeting-version M.m version announced in the greeting (default 1.2)
  --greeting-status S    status byte of the greeting (default 0)
  --max-connections N    connections served at once; more are closed at once
                         (default 32)
  -v, --verbose          log every packet received and sent on stderr
  -h, --help             show this text
  -V, --version          show the version

Scan geometry (the defaults until the peer sets its own)
  --width PIXELS         image width (default 850)
  --height LINES         image height (default 1100)
  --colour, --grey       RGB, 3 bytes a pixel, or grey, 1 byte (default grey);
                         --color and --gray are the same
  --resolution DPI       resolution reported back (default 100)
  --block-size BYTES     size of a full data block; by default as many whole
                         lines as fit in 64 KiB (at least one line)

Notices
  --notice-every N       send a notice before answering every Nth command
                         packet
  --notice-code C        event code of those notices and of SIGUSR1 (default
                         1: the notice flag; 3 asks to cancel)
  --notice-storm N       send N notices before every reply to a command
  --disconnect-after N   answer the Nth command packet with a disconnect
                         event (code 2) and close
  --no-notice-report     NT: answer the notice query with "no"

Extended mode
  --nt-extended          NT: accept FS X/Y/Z with ACK (default NAK)
  --no-extended          IS: refuse FS X/Y/Z with NAK (default ACK)
  --fin-busy N           answer the first N "FIN " requests with #nrdBUSY, so
                         extended mode goes on

Faults
  --reset-after-blocks N reset the connection (RST) after N data blocks; the
                         peer receives all N blocks first
  --close-after-greeting close every connection right after the greeting
  --wrong-magic          greet with the magic "ZZ", neither NT nor IS
  --oversized-header     answer the first command with a header announcing a
                         1 GiB payload, send nothing more and wait for the
                         peer to close
  --delay-ms N           wait N ms before sending each packet
  --refuse-params        refuse every setting (NT: status bit set; IS and
                         extended PARA: NAK)

How the emulated scanner works
  Every connection starts with a greeting (type 0x80: major, minor, status,
  one reserved zero byte). NT then takes the setup request (0x11 00 02,
  unanswered) and answers the notice query (0x11 00 00) with 0x91 00 01. IS
  answers the open request (0x21) and the close request (0x21 flag 1) with
  0xA1 [ACK]; commands before the open request close the connection.

  NT answers a command packet of type T with type T|0x80 (scans: 0x89). IS
  answers every 0x20 packet with 0xA0 carrying exactly the number of bytes
  the chunk prefix asks for: a longer answer is cut there and the rest is
  kept for the next prefix-only request, a shorter one is padded with zeros.

  Replies ([STX status LE-count] heads are variable replies):
    ESC 'I'  identity: 02 00 LL LL + "scanemu <NT|IS> <major>.<minor>"
    ESC 'f'  02 00 10 00 + 16 bytes: status, width, height (LE16), colour,
             depth, x and y resolution (LE16), zeros
    ESC 'q'  02 00 08 00 + 8 bytes: scans completed (LE32), zeros
    ESC 'i'  IS: 02 00 08 00 + bytes per line, lines (LE32); NT: ACK
    ESC '!'  IS: 02 00 01 00 + notice flag (set by event-1 notices, cleared
             by this answer)
    ESC 'F'  4 bytes: 02, status 00, 00, 00
    ESC '@'  restores the default settings; ACK
    ESC 'G'  NT: scan; IS: NAK (scans start with FS 'G' there)
    FS 'F'   16 bytes: status, notice flag, scans completed (LE16), zeros
    FS 'I'   80 bytes: "scanemu" padded to 16, version "1.20", bed width,
             bed height, resolution (LE16), colour capable, depth, zeros
    FS 'S'   64 bytes: width, height (LE32), x and y resolution (LE16),
             colour mode, depth, left, top (LE16), block size, image bytes
             (LE32), zeros
    FS X/Y/Z IS: ACK, extended mode; NT: NAK
    any other command: ACK

  Settings: ESC C (colour mode 0 grey, 1 RGB), D (depth, only 8), R (x and y
  resolution, LE16 each, not 0) and A (left, top, width, height, LE16 each;
  width and height not 0) set the scan; any other setting is acknowledged and
  kept. NT takes them as 1176-byte parameter blocks (type 2, answered with an
  8-byte status bitmap whose set bits are the refused settings) or, for ESC e,
  ESC p and FS W, as [prefix letter value] (answered ACK or NAK). IS takes the
  bare command (ACK) and then its value in the next packet (ACK or NAK).

  Scans: the information block (02, status, LE32 block size, LE32 number of
  full blocks before the last, LE32 last block size), then the image in data
  blocks of the block size, the last one shorter or equal, each followed by
  one status byte 00. The image is the shared test pattern, row by row,
  channels interleaved: colour bars in the top third, a grey ramp in the
  middle, one-pixel lines at the bottom (vertical on the left, horizontal on
  the right), so a lost or doubled byte shows at once. NT streams the blocks
  as 0x89 packets right after the information block; IS waits for the
  transfer request, checks every field of it against the information block
  (a wrong one is logged and closes the connection), then streams 0xA2
  packets. The peer's flow control paces the stream. A cancel (NT: 0x01
  [CAN], IS: 0x22 flag 1) stops it and is answered with 0x81 [ACK] or 0xA2
  [ACK]; any other packet abandons the scan. An empty or oversized image
  gives an information block with status 0x80.

  Extended mode (IS): 12-byte requests "CODEx" + 7 hex digits. A request with
  a payload is acknowledged with an empty 0xA0, then its payload is taken.
  Every answer is a 64-byte header "CODEx%07X" followed by 8-byte fields and
  the end mark "#---", padded with spaces; its payload follows on the next
  prefix-only request.
    INFO  payload: lines "key=value" (model, variant, version)
    CAPA  payload: lines "key=value" (bed size, modes, depth, resolution)
    PARA  with a payload of "key=value" words (width, height, mode=grey|colour,
          block, resolution) sets the scan, "#errPARA" when refused; without
          one returns the current settings
    IMG   the next chunk of the image (block size bytes at most), "#imgMORE"
          or "#imgLAST" on the last; the request after the last starts a new
          image
    CAN   drops the image in progress
    FIN   ends extended mode ("#nrdBUSY" first, with --fin-busy)
    other "#errUNKN"
)";
}

}  // namespace scanbridge::tools::scanemu
