// SPDX-License-Identifier: MIT
#include "tools/scanclient/options.h"

#include "tools/common/command_line.h"

namespace scanbridge::tools {

namespace {

enum code {
  HELP,
  VERSION,
  DEVICE,
  OUTPUT,
  FORMAT,
  PROGRESS,
  NO_PROGRESS,
  MODE,
  COLOUR,
  GREY,
  RESOLUTION,
  WIDTH,
  HEIGHT,
  ESC_G,
  BRIDGE,
  CONNECT,
  TIMEOUT,
  QUERY_TIMEOUT,
  TRACE,
};

// The scanimage spellings (-d, -o, -p, --format, --mode, --resolution) beside
// the client's own.
constexpr option_def kOptions[] = {
    {"help", 'h', false, HELP},
    {"version", 'V', false, VERSION},
    {"device", 'd', true, DEVICE},
    {"output", 'o', true, OUTPUT},
    {"format", 0, true, FORMAT},
    {"progress", 'p', false, PROGRESS},
    {"no-progress", 0, false, NO_PROGRESS},
    {"mode", 0, true, MODE},
    {"colour", 0, false, COLOUR},
    {"color", 0, false, COLOUR},
    {"grey", 0, false, GREY},
    {"gray", 0, false, GREY},
    {"resolution", 0, true, RESOLUTION},
    {"width", 0, true, WIDTH},
    {"height", 0, true, HEIGHT},
    {"esc-g", 0, false, ESC_G},
    {"bridge", 0, true, BRIDGE},
    {"connect", 0, true, CONNECT},
    {"timeout", 0, true, TIMEOUT},
    {"query-timeout", 0, true, QUERY_TIMEOUT},
    {"trace", 0, false, TRACE},
};

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// scanimage names the modes "Color" and "Gray"; any case and spelling does.
bool set_mode(const given_option& option, client_options* options, std::string* error) {
  const std::string mode = lower(option.value);
  if (mode == "color" || mode == "colour") {
    options->colour = true;
  } else if (mode == "gray" || mode == "grey") {
    options->colour = false;
  } else {
    *error = bad_value(option, "Color or Gray");
    return false;
  }
  return true;
}

// "300", or "300dpi" as scanimage takes it.
bool set_resolution(given_option option, client_options* options, std::string* error) {
  const std::string value = lower(option.value);
  if (value.size() > 3 && value.ends_with("dpi")) option.value.resize(value.size() - 3);
  return take_number(option, 1, 65535, &options->resolution, error);
}

bool apply(const given_option& option, client_options* options, std::string* error) {
  switch (option.code) {
    case HELP:
      options->help = true;
      return true;
    case VERSION:
      options->version = true;
      return true;
    case DEVICE:
      if (!options->uri.empty() && options->uri != option.value) {
        *error = "two device addresses: '" + options->uri + "' and '" + option.value + "'";
        return false;
      }
      options->uri = option.value;
      return true;
    case OUTPUT:
      options->output = option.value;
      return true;
    case FORMAT: {
      image_format format;
      if (!parse_image_format(option.value, &format)) {
        *error = bad_value(option, "png or pnm");
        return false;
      }
      options->format = format;
      return true;
    }
    case PROGRESS:
      options->show_progress = client_options::progress::ALWAYS;
      return true;
    case NO_PROGRESS:
      options->show_progress = client_options::progress::NEVER;
      return true;
    case MODE:
      return set_mode(option, options, error);
    case COLOUR:
      options->colour = true;
      return true;
    case GREY:
      options->colour = false;
      return true;
    case RESOLUTION:
      return set_resolution(option, options, error);
    case WIDTH:
      return take_number(option, 1, 65535, &options->width, error);
    case HEIGHT:
      return take_number(option, 1, 65535, &options->height, error);
    case ESC_G:
      options->esc_g = true;
      return true;
    case BRIDGE:
      options->bridge = option.value;
      return true;
    case CONNECT:
      return take_number(option, 1, 65535, &options->connect_port, error);
    case TIMEOUT:
      return take_number(option, 1, 86400, &options->timeout_s, error);
    case QUERY_TIMEOUT:
      return take_number(option, 1, 86400, &options->query_timeout_s, error);
    case TRACE:
      options->trace = true;
      return true;
  }
  return true;
}

// The command word, then the device address unless -d gave it. With -d and
// no command the command is scan, as scanimage scans with no more than a
// device and an output.
bool take_operands(const std::vector<std::string>& words, client_options* options,
                   std::string* error) {
  if (words.empty() && !options->uri.empty()) {
    options->command = client_options::mode::SCAN;
    return true;
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
  std::size_t next = 1;
  if (next < words.size()) {
    if (!options->uri.empty() && options->uri != words[next]) {
      *error = "two device addresses: '" + options->uri + "' and '" + words[next] + "'";
      return false;
    }
    options->uri = words[next++];
  }
  if (next < words.size()) {
    *error = "unexpected argument '" + words[next] + "'";
    return false;
  }
  if (options->uri.empty()) {
    *error = words[0] + " needs the device address, e.g. net://192.168.1.20";
    return false;
  }
  return true;
}

bool check_scan(client_options* options, std::string* error) {
  if (options->output.empty()) {
    *error = "scan needs --output FILE (or -o - for standard output)";
    return false;
  }
  format_choice choice;
  if (!choose_format(options->output, options->format, true, &choice, error)) return false;
  // Letter size at the resolution unless given.
  if (options->width == 0) options->width = options->resolution * 17 / 2;
  if (options->height == 0) options->height = options->resolution * 11;
  if (options->width > 65535 || options->height > 65535) {
    *error = "the default page (8.5x11 inches) is too large at " +
             std::to_string(options->resolution) + " dpi: give --width and --height";
    return false;
  }
  return true;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, client_options* options,
                   std::string* error) {
  std::vector<given_option> given;
  std::vector<std::string> words;
  if (!parse_command_line(args, kOptions, &given, &words, error)) return false;
  for (const given_option& option : given) {
    if (!apply(option, options, error)) return false;
  }
  if (options->help || options->version) return true;
  if (options->connect_port != 0 && !options->bridge.empty()) {
    *error = "--connect and --bridge exclude each other";
    return false;
  }
  if (!take_operands(words, options, error)) return false;
  if (options->command == client_options::mode::SCAN) return check_scan(options, error);
  return true;
}

std::string usage_text() {
  return R"(Usage: scanclient [OPTIONS] probe URI
       scanclient [OPTIONS] scan URI -o FILE [SCAN OPTIONS]
       scanclient [OPTIONS] [scan] -d URI -o - > FILE

Drives a scanner through the bridge as a scanner driver does: starts
scanbridge, connects to it, opens the device at URI (SCHEME://HOST[:PORT],
e.g. net://192.168.1.20 or net://127.0.0.1:5000) and talks to it.

Commands:
  probe URI                 open the device, ask for its identity (ESC I) and
                            status (ESC F, then FS S and FS I where the
                            scanner answers them), close it; shows every
                            answer and the time each step took
  scan URI                  set colour mode, depth, resolution and area, scan
                            one image and write it to FILE

  -d, --device URI          the device address, instead of after the command;
                            with -d and no command, the command is scan

Scan options:
  -o, --output FILE         where the image goes; "-" for standard output
                            (not a terminal). The file is made before the
                            scan starts, so a path that cannot be written
                            fails at once; a failed or cancelled scan leaves
                            no file
  --format png|pnm          the image format (default: from the name of FILE,
                            .png for PNG, .pnm, .pgm or .ppm for binary PNM;
                            PNG for standard output)
  --mode Color|Gray         8-bit RGB (the default) or 8-bit grey
  --colour, --color         the same as --mode Color
  --grey, --gray            the same as --mode Gray
  --resolution DPI          dots per inch in both directions (default 200)
  --width PIXELS            image width (default: 8.5 inches at the resolution)
  --height PIXELS           image height (default: 11 inches at the
                            resolution)
  --esc-g                   start the scan with ESC G instead of FS G
  -p, --progress            show the progress bar even when standard error is
                            not a terminal, or with --trace
  --no-progress             never show the progress bar

Options:
  --bridge PATH             the bridge executable (default: scanbridge beside
                            scanclient, else in the libexec directory of the
                            installation scanclient belongs to)
  --connect PORT            use the bridge already running on 127.0.0.1:PORT
                            instead of starting one; it serves one client at a
                            time and keeps running afterwards
  --timeout SECONDS         longest wait for any reply from the bridge
                            (default 60)
  --query-timeout SECONDS   longest wait for the answers to FS S and FS I in a
                            probe (default 5)
  --trace                   print every message to and from the bridge on
                            standard error, in hex with its meaning
  -h, --help                show this text
  -V, --version             show the version

When the bridge cannot open the device, scanclient looks for the reason
itself (name look-up, then one test connection, closed at once) and says
which: the name does not resolve, the connection is refused, nothing
answers, or what answers is not a scanner.

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
