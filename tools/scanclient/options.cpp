#include "tools/scanclient/options.h"

#include "tools/scanclient/image_file.h"

namespace scanbridge::tools {

namespace {

bool parse_number(const std::string& text, std::uint32_t min, std::uint32_t max,
                  std::uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  std::uint32_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (result < min || result > max) return false;
  *value = result;
  return true;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, client_options* options,
                   std::string* error) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool has_value = false;
    if (arg.rfind("--", 0) == 0) {
      const std::size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        has_value = true;
      }
    }
    // Takes the option's value from "--name=value" or the next argument.
    const auto take_value = [&](std::string* out) {
      if (has_value) {
        *out = value;
        return true;
      }
      if (i + 1 >= args.size()) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    const auto take_number = [&](std::uint32_t min, std::uint32_t max, std::uint32_t* out) {
      std::string text;
      if (!take_value(&text)) return false;
      if (!parse_number(text, min, max, out)) {
        *error = "option " + arg + " wants a number from " + std::to_string(min) + " to " +
                 std::to_string(max) + ", not '" + text + "'";
        return false;
      }
      return true;
    };
    std::uint32_t number = 0;

    if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "--trace") {
      options->trace = true;
    } else if (arg == "--progress") {
      options->show_progress = client_options::progress::ALWAYS;
    } else if (arg == "--no-progress") {
      options->show_progress = client_options::progress::NEVER;
    } else if (arg == "--grey" || arg == "--gray") {
      options->colour = false;
    } else if (arg == "--colour" || arg == "--color") {
      options->colour = true;
    } else if (arg == "--esc-g") {
      options->esc_g = true;
    } else if (arg == "--bridge") {
      if (!take_value(&options->bridge)) return false;
    } else if (arg == "--connect") {
      if (!take_number(1, 65535, &number)) return false;
      options->connect_port = static_cast<int>(number);
    } else if (arg == "-o" || arg == "--output") {
      if (!take_value(&options->output)) return false;
    } else if (arg == "--timeout") {
      if (!take_number(1, 86400, &number)) return false;
      options->timeout_s = static_cast<int>(number);
    } else if (arg == "--query-timeout") {
      if (!take_number(1, 86400, &number)) return false;
      options->query_timeout_s = static_cast<int>(number);
    } else if (arg == "--width") {
      if (!take_number(1, 65535, &options->width)) return false;
    } else if (arg == "--height") {
      if (!take_number(1, 65535, &options->height)) return false;
    } else if (arg == "--resolution") {
      if (!take_number(1, 65535, &options->resolution)) return false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else if (has_value) {
      *error = "unknown option " + arg;
      return false;
    } else {
      words.push_back(arg);
    }
  }
  if (options->help) return true;
  if (options->connect_port != 0 && !options->bridge.empty()) {
    *error = "--connect and --bridge exclude each other";
    return false;
  }

  if (words.empty()) {
    *error = "no command given: probe or scan";
    return false;
  }
  if (words[0] == "probe") {
    options->command = client_options::mode::PROBE;
  } else if (words[0] == "scan") {
    options->command = client_options::mode::SCAN;
  } else {
    *error = "unknown command '" + words[0] + "': probe or scan";
    return false;
  }
  if (words.size() < 2) {
    *error = words[0] + " needs the device address, e.g. net://192.168.1.20";
    return false;
  }
  if (words.size() > 2) {
    *error = "unexpected argument '" + words[2] + "'";
    return false;
  }
  options->uri = words[1];

  if (options->command == client_options::mode::SCAN) {
    if (options->output.empty()) {
      *error = "scan needs --output FILE";
      return false;
    }
    image_format format;
    if (!image_format_for(options->output, &format)) {
      *error = "cannot tell the image format of '" + options->output +
               "': the name must end in .png or .pnm (.pgm, .ppm)";
      return false;
    }
    // Letter size at the resolution unless given.
    const std::uint32_t width = options->resolution * 17 / 2;
    const std::uint32_t height = options->resolution * 11;
    if (options->width == 0) options->width = width;
    if (options->height == 0) options->height = height;
    if (options->width > 65535 || options->height > 65535) {
      *error = "the default page (8.5x11 inches) is too large at " +
               std::to_string(options->resolution) + " dpi: give --width and --height";
      return false;
    }
  }
  return true;
}

std::string usage_text() {
  return R"(Usage: scanclient [OPTIONS] probe URI
       scanclient [OPTIONS] scan URI --output FILE [SCAN OPTIONS]

Drives a scanner through the bridge as a scanner driver does: starts
scanbridge, connects to it, opens the device at URI (SCHEME://HOST[:PORT],
e.g. net://192.168.1.20 or net://127.0.0.1:5000) and talks to it.

Commands:
  probe URI               open the device, ask for its identity (ESC I) and
                          status (ESC F, then FS S and FS I where the scanner
                          answers them), close it; shows every answer and the
                          time each step took
  scan URI                set colour mode, depth, resolution and area, scan
                          one image and write it to FILE

Scan options:
  -o, --output FILE       .png for PNG, .pnm (.pgm, .ppm) for binary PNM
  --width PIXELS          image width (default: 8.5 inches at the resolution)
  --height PIXELS         image height (default: 11 inches at the resolution)
  --resolution DPI        dots per inch in both directions (default 200)
  --grey, --gray          8-bit grey
  --colour, --color       8-bit RGB (the default)
  --esc-g                 start the scan with ESC G instead of FS G
  --progress              show the progress bar even when standard error is
                          not a terminal, or with --trace
  --no-progress           never show the progress bar

Options:
  --bridge PATH           the bridge executable (default: scanbridge in the
                          directory of scanclient)
  --connect PORT          use the bridge already running on 127.0.0.1:PORT
                          instead of starting one; it serves one client at a
                          time and keeps running afterwards
  --timeout SECONDS       longest wait for any reply from the bridge
                          (default 60)
  --query-timeout SECONDS longest wait for the answers to FS S and FS I in a
                          probe (default 5)
  --trace                 print every message to and from the bridge on
                          standard error, in hex with its meaning
  -h, --help              show this text

Ctrl-C during a scan cancels it: the scanner is sent CAN after the current
block. A second Ctrl-C stops waiting at once.

A reply that is a second late is checked with a sync: a message of a kind
the bridge does not know (9), which it answers once it has handled all
before it. When that answer comes first, the exchange with the scanner
failed without a reply, and scanclient says so at once instead of waiting
for the time-out.

Exit status: 0 done, 1 failed, 2 bad command line, 130 cancelled.
)";
}

}  // namespace scanbridge::tools
