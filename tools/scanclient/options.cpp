// SPDX-License-Identifier: MIT
#include "tools/scanclient/options.h"

#include "tools/common/command_line.h"
#include "tools/scanclient/address.h"

namespace scanbridge::tools {

namespace {

using o = client_options;
using entry = option_entry<o>;

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool set_device(const std::string& uri, o* options, std::string* error) {
  if (uri.empty() || (!options->uri.empty() && options->uri != uri)) {
    *error = uri.empty() ? "the device address is empty"
                         : "two device addresses: '" + options->uri + "' and '" + uri + "'";
    return false;
  }
  options->uri = uri;
  return true;
}

bool apply_device(o& options, const given_option& given, std::string* error) {
  return set_device(given.value, &options, error);
}

bool apply_format(o& options, const given_option& given, std::string* error) {
  image_format format;
  if (!parse_image_format(given.value, &format)) {
    *error = bad_value(given, "png or pnm");
    return false;
  }
  options.format = format;
  return true;
}

// scanimage names the modes "Color" and "Gray"; any case and spelling does.
bool apply_mode(o& options, const given_option& given, std::string* error) {
  const std::string mode = lower(given.value);
  if (mode == "color" || mode == "colour" || mode == "gray" || mode == "grey") {
    options.colour = mode.starts_with("col");
    return true;
  }
  *error = bad_value(given, "Color or Gray");
  return false;
}

// "300", or "300dpi" as scanimage takes it.
bool apply_resolution(o& options, const given_option& given, std::string* error) {
  given_option number = given;
  if (number.value.size() > 3 && lower(number.value).ends_with("dpi")) {
    number.value.resize(number.value.size() - 3);
  }
  return take_number(number, 1, 65535, &options.resolution, error);
}

// The scanimage spellings (-d, --device-name, -o, --output-file, -p, --format,
// --mode, --resolution) beside the client's own.
const std::vector<entry>& option_table() {
  static const std::vector<entry> table = {
      {"device", 'd', "URI", "the device, instead of after the command", apply_device},
      alias<o>("device-name"),
      text("output", 'o', "FILE", &o::output, "where the image goes; - is standard output"),
      alias<o>("output-file"),
      {"format", 0, "png|pnm", "image format (default: by FILE's name)", apply_format},
      {"mode", 0, "Color|Gray", "8-bit RGB or grey (default Color; .pgm: Gray)", apply_mode},
      set("colour", 0, &o::colour, true, "the same as --mode Color"),
      alias<o>("color"),
      set("grey", 0, &o::colour, false, "the same as --mode Gray"),
      alias<o>("gray"),
      {"resolution", 0, "DPI", "dots per inch (default 200)", apply_resolution},
      number("width", 0, "PIXELS", &o::width, 1, 65535, "image width (default 8.5 inches)"),
      number("height", 0, "PIXELS", &o::height, 1, 65535, "image height (default 11 inches)"),
      set("esc-g", 0, &o::esc_g, true, "start the scan with ESC G, not FS G"),
      set("progress", 'p', &o::show_progress, o::progress::ALWAYS,
          "show progress, and a summary when done"),
      set("no-progress", 0, &o::show_progress, o::progress::NEVER, "never show progress"),
      set("verbose", 'v', &o::verbose, true, "a summary on standard error when done"),
      text("bridge", 0, "PATH", &o::bridge, "the bridge to start (default: the installed one)"),
      number("connect", 0, "PORT", &o::connect_port, 1, 65535,
             "use the bridge running on 127.0.0.1:PORT"),
      number("timeout", 0, "SECONDS", &o::timeout_s, 1, 86400,
             "longest wait for a reply (default 60)"),
      number("query-timeout", 0, "SECONDS", &o::query_timeout_s, 1, 86400,
             "longest wait for FS S, FS I (default 5)"),
      set("trace", 0, &o::trace, true, "log every link message on standard error"),
      set("help", 'h', &o::help, true, "show this text"),
      set("version", 'V', &o::version, true, "show the version"),
  };
  return table;
}

// The command word, then the device address unless -d gave it. With -d and
// no command the command is scan, as scanimage scans with no more than a
// device.
bool take_operands(const std::vector<std::string>& words, client_options* options,
                   std::string* error) {
  std::size_t next = 0;
  if (words.empty() && options->uri.empty()) {
    *error = "no command given: probe or scan";
    return false;
  }
  if (words.empty() || words[0] == "scan") {
    options->command = client_options::mode::SCAN;
  } else if (words[0] == "probe") {
    options->command = client_options::mode::PROBE;
  } else {
    *error = "unknown command '" + words[0] + "': probe or scan";
    return false;
  }
  if (++next < words.size() && !set_device(words[next++], options, error)) return false;
  if (next < words.size()) {
    *error = "unexpected argument '" + words[next] + "'";
    return false;
  }
  if (options->uri.empty()) {
    *error = words[0] + " needs the device address, e.g. net://192.168.1.20";
    return false;
  }
  scanner_address address;
  return parse_scanner_address(options->uri, &address, error);
}

// Without -o the image goes to standard output, as scanimage's does.
bool check_scan(client_options* options, std::string* error) {
  if (options->output.empty()) options->output = std::string(STANDARD_OUTPUT);
  format_choice choice;
  if (!choose_format(options->output, options->format, true, &choice, error)) return false;
  const std::optional<bool> named = colour_of_name(options->output);
  if (named && options->colour && *named != *options->colour) {
    *error = "'" + options->output + "' names a " + (*named ? "colour" : "grey") +
             " image, but the mode asked for is " + (*named ? "Gray" : "Color");
    return false;
  }
  if (!options->colour) options->colour = named.value_or(true);
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
  std::vector<std::string> words;
  if (!parse_table<o>(args, option_table(), options, &words, error)) return false;
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
  return "Usage: scanclient [OPTIONS] probe URI\n"
         "       scanclient [OPTIONS] [scan] -d URI [-o FILE] [SCAN OPTIONS]\n"
         "Drives a scanner through the bridge as a scanner driver does. URI is\n"
         "SCHEME://HOST[:PORT]; probe shows the answers to identity and status.\n\n" +
         table_help<o>(option_table()) +
         "\nExamples: scanclient probe net://192.168.1.20\n"
         "          scanclient -d net://192.168.1.20 --mode Gray > page.png\n"
         "Exit status: 0 done, 1 failed, 2 bad command line, 130 cancelled.\n"
         "Fault diagnosis, signals and output files in depth: man scanclient\n";
}

}  // namespace scanbridge::tools
