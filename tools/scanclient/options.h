// SPDX-License-Identifier: MIT
// The command line of scanclient.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_OPTIONS_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/scanclient/image_file.h"

namespace scanbridge::tools {

struct client_options {
  enum class mode { NONE, PROBE, SCAN };
  enum class progress { AUTO, ALWAYS, NEVER };

  mode command = mode::NONE;
  std::string uri;
  std::string bridge;    // empty: found beside the client or in its libexec directory
  int connect_port = 0;  // a running bridge on 127.0.0.1; 0: start one
  int timeout_s = 60;
  int query_timeout_s = 5;
  bool trace = false;
  bool verbose = false;  // a summary line on standard error when done
  bool help = false;
  bool version = false;

  // scan
  std::string output;                  // "-", or none given: standard output
  std::optional<image_format> format;  // none: by the output's name
  std::uint32_t width = 0;             // 0: 8.5 inches at the resolution
  std::uint32_t height = 0;            // 0: 11 inches at the resolution
  std::uint32_t resolution = 200;
  std::optional<bool> colour;  // none: by the output's name, else colour
  bool esc_g = false;
  progress show_progress = progress::AUTO;
};

// Parses the arguments after the program name. False, with one line in
// *error, when they do not make a valid command.
bool parse_options(const std::vector<std::string>& args, client_options* options,
                   std::string* error);

std::string usage_text();

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_OPTIONS_H_
