// SPDX-License-Identifier: MIT
#include "tools/scanemu/options.h"

#include <netdb.h>
#include <sys/socket.h>

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

using o = emulator_options;
using entry = option_entry<o>;

// A value whose parser is a function of the emulator's own; `wanted` says
// what a valid value looks like.
entry parsed(const char* name, const char* value, bool (*parse)(o&, std::string_view),
             const char* wanted, const char* help) {
  return {name, 0, value, help, [parse, wanted](o& opt, const given_option& given, std::string* e) {
            if (parse(opt, given.value)) return true;
            *e = bad_value(given, wanted);
            return false;
          }};
}

const std::vector<entry>& option_table() {
  constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
  static const std::vector<entry> table = {
      parsed("variant", "nt|is", set_variant, "nt or is", "protocol variant (default nt)"),
      parsed("address", "ADDR", set_address, "a numeric IPv4 or IPv6 address",
             "numeric address to listen on (default 127.0.0.1)"),
      number("port", 'p', "N", &o::port, 0, 65535, "TCP port, 0: any free one (default 1865)"),
      parsed("greeting-version", "M.m", set_greeting_version, "MAJOR.MINOR, each from 0 to 255",
             "version in the greeting (default 1.2)"),
      number("greeting-status", 0, "S", &o::greeting_status, 0, 255,
             "status byte of the greeting (default 0)"),
      number("max-connections", 0, "N", &o::max_connections, 1, 1024,
             "connections served at once (default 32)"),
      number("width", 0, "PIXELS", &o::width, 1, 65535, "image width (default 850)"),
      number("height", 0, "LINES", &o::height, 1, 65535, "image height (default 1100)"),
      set("colour", 0, &o::colour, true, "RGB images (default grey)"),
      alias<o>("color"),
      set("grey", 0, &o::colour, false, "grey images"),
      alias<o>("gray"),
      number("resolution", 0, "DPI", &o::resolution, 1, 65535, "resolution (default 100)"),
      number("block-size", 0, "BYTES", &o::block_size, 1, MAX_BLOCK_SIZE,
             "data block size (default: whole lines in 64 KiB)"),
      number("notice-every", 0, "N", &o::notice_every, 1, kU32,
             "a notice before every Nth command"),
      number("notice-code", 0, "C", &o::notice_code, 0, 255, "event code of notices (default 1)"),
      number("notice-storm", 0, "N", &o::notice_storm, 1, 100000, "N notices before every reply"),
      number("disconnect-after", 0, "N", &o::disconnect_after, 1, kU32,
             "disconnect event at the Nth command"),
      set("no-notice-report", 0, &o::no_notice_report, true, "NT: notice query answers no"),
      set("nt-extended", 0, &o::nt_extended, true, "NT: accept extended mode"),
      set("no-extended", 0, &o::no_extended, true, "IS: refuse extended mode"),
      number("fin-busy", 0, "N", &o::fin_busy, 1, kU32, "answer the first N FIN requests busy"),
      parsed("reset-after-blocks", "N", set_reset_after_blocks, "a number of blocks",
             "reset the connection after N data blocks"),
      set("close-after-greeting", 0, &o::close_after_greeting, true,
          "close every connection after the greeting"),
      set("wrong-magic", 0, &o::wrong_magic, true, "greet with neither NT nor IS"),
      set("oversized-header", 0, &o::oversized_header, true,
          "announce a 1 GiB reply to the first command"),
      number("delay-ms", 0, "N", &o::delay_ms, 0, 60000, "wait N ms before every packet"),
      set("refuse-params", 0, &o::refuse_params, true, "refuse every setting"),
      set("verbose", 'v', &o::verbose, true, "log every packet on standard error"),
      set("help", 'h', &o::help, true, "show this text"),
      set("version", 'V', &o::version, true, "show the version"),
  };
  return table;
}

}  // namespace

std::vector<std::string> option_names() {
  std::vector<std::string> names;
  for (const entry& e : option_table()) names.push_back(e.name);
  return names;
}

parse_result parse_options(const std::vector<std::string>& args) {
  parse_result result;
  std::vector<std::string> operands;
  if (!parse_table<o>(args, option_table(), &result.options, &operands, &result.error)) {
    return result;
  }
  if (!operands.empty()) {
    result.error = "unexpected argument '" + operands.front() + "'";
  } else if (result.options.nt_extended && result.options.no_extended) {
    result.error = "options '--nt-extended' and '--no-extended' exclude each other";
  }
  return result;
}

std::string help_text() {
  return "Usage: scanemu [OPTIONS]\n"
         "Plays a network scanner on 127.0.0.1: prints its port, then serves every\n"
         "connection until SIGTERM or SIGINT (SIGUSR1: a notice, SIGUSR2: disconnect).\n\n" +
         table_help<o>(option_table()) +
         "\nExample: scanemu --variant is --port 0 --colour\n"
         "The protocol, the replies and the fault modes in depth: man scanemu\n";
}

}  // namespace scanbridge::tools::scanemu
