// SPDX-License-Identifier: MIT
// The emulated scanner itself, apart from any protocol: its settings, what
// it reports about itself, and the layout of its next scan.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_SCANNER_MODEL_H_
#define SCANBRIDGE_TOOLS_SCANEMU_SCANNER_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/scan_format.h"
#include "tools/scanemu/options.h"
#include "tools/scanemu/scan_layout.h"

namespace scanbridge::tools::scanemu {

struct scan_settings {
  scan_geometry geometry;
  std::uint16_t left = 0;
  std::uint16_t top = 0;
  std::uint16_t x_resolution = 0;
  std::uint16_t y_resolution = 0;
  std::uint8_t depth = 8;
  // 0: as many whole lines as fit in 64 KiB.
  std::uint32_t block_size = 0;
  // Settings the scanner keeps without acting on them, by prefix and letter.
  std::map<std::uint16_t, std::vector<std::uint8_t>> kept;
};

class scanner_model {
 public:
  explicit scanner_model(const emulator_options& options);

  // Back to the settings of the command line.
  void reset();
  // Applies the value of a setting command; false when it is refused.
  bool apply(std::uint8_t prefix, std::uint8_t letter, const std::uint8_t* data, std::size_t n);
  // Applies "key=value" words (extended mode); false with a reason when one
  // is refused, after applying the words before it.
  bool apply_text(std::string_view text, std::string& error);

  const scan_settings& settings() const { return settings_; }
  std::uint32_t block_size() const;
  // The next scan; nothing when the settings give no image to scan.
  std::optional<scan_layout> plan() const;

  void raise_notice() { notice_flag_ = true; }
  void count_scan() { ++scans_; }

  // Variable replies: STX, status 0, LE16 count, then the data.
  std::vector<std::uint8_t> identity() const;
  std::vector<std::uint8_t> extended_status() const;
  std::vector<std::uint8_t> counters() const;
  std::vector<std::uint8_t> image_info() const;
  // Reports the notice flag and clears it.
  std::vector<std::uint8_t> notice_report();
  // Fixed-size replies.
  std::vector<std::uint8_t> status() const;
  std::vector<std::uint8_t> fs_status() const;
  std::vector<std::uint8_t> device_info() const;
  std::vector<std::uint8_t> scan_parameters() const;
  // Extended mode text payloads, lines of "key=value".
  std::string info_text() const;
  std::string capabilities_text() const;
  std::string settings_text() const;

 private:
  const emulator_options& options_;
  scan_settings settings_;
  bool notice_flag_ = false;
  std::uint32_t scans_ = 0;
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_SCANNER_MODEL_H_
