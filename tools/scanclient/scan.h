// SPDX-License-Identifier: MIT
// A scan as a driver runs it: the scan parameters, the scan command, the
// information block, one acknowledgement per data block, cancelling on
// request, and the check of the image size against the parameters.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_SCAN_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_SCAN_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/scan_format.h"
#include "tools/scanclient/device.h"
#include "tools/scanclient/outcome.h"
#include "tools/scanclient/scan_protocol.h"

namespace scanbridge::tools {

struct scan_settings {
  scan_geometry geometry;
  std::uint16_t resolution = 200;  // dots per inch, both directions
  bool esc_g = false;              // start with ESC G rather than FS G
};

struct scan_hooks {
  // Asked between steps and after each data block; true sends CAN.
  std::function<bool()> cancel_requested;
  // Image bytes received so far, and the bytes the scan announced.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // Something odd that does not stop the scan.
  std::function<void(const std::string& text)> warn;
  // What the scan is doing when that takes a while, e.g. waiting after CAN.
  std::function<void(const std::string& text)> note;
};

struct scan_report {
  std::vector<std::uint8_t> image;  // at most geometry.image_bytes()
  std::uint64_t received = 0;       // image bytes received, status bytes excluded
  info_block info;
  std::uint32_t blocks = 0;
  std::uint8_t last_status = 0;  // status byte of the last block
  double seconds = 0;            // from the scan command to the last block
};

// "1700x2200 RGB", "850x1100 grey".
std::string describe_geometry(const scan_geometry& geometry);

// Empty when the settings can be sent, else what is wrong with them.
std::string check_settings(const scan_settings& settings);

// Sets the parameters, then scans. Cancelled scans give outcome::cancelled.
outcome run_scan(device* scanner, const scan_settings& settings, const scan_hooks& hooks,
                 scan_report* report);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_SCAN_H_
