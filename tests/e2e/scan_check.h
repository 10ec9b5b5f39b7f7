// SPDX-License-Identifier: MIT
// What the end-to-end tests check a scan against: the emulator's test image,
// PNM files as scanclient writes them, and scans driven message by message
// over a link_client.
#ifndef SCANBRIDGE_TESTS_E2E_SCAN_CHECK_H_
#define SCANBRIDGE_TESTS_E2E_SCAN_CHECK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/io.h"
#include "tests/support/link_client.h"
#include "tools/common/scan_format.h"

namespace scanbridge::testing {

using tools::scan_geometry;

// The test image of the geometry, row by row, channels interleaved.
bytes expected_image(const scan_geometry& geometry);
// Empty when the samples equal the test image of the geometry; otherwise where
// the first one differs and how many do.
std::string compare_with_pattern(const bytes& samples, const scan_geometry& geometry);

struct pnm_image {
  scan_geometry geometry;  // P5: grey, P6: colour
  bytes samples;
};
// A binary PNM file (P5 or P6, maxval 255). Nullopt, with the reason in
// *error, when it is not one.
std::optional<pnm_image> read_pnm(const std::string& path, std::string* error);

// A file name in the test's temporary directory, removed when the object goes.
class temp_file {
 public:
  explicit temp_file(const std::string& name);
  ~temp_file();
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The scanner's 14-byte information block.
struct info_block {
  std::uint8_t status = 0;
  std::uint32_t block_size = 0;
  std::uint32_t block_count = 0;  // full blocks before the last
  std::uint32_t last_block_size = 0;
};
std::optional<info_block> parse_info_block(const bytes& payload);

// Control bytes of the command language.
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t CAN = 0x18;
inline constexpr std::uint8_t ESC = 0x1B;
inline constexpr std::uint8_t FS = 0x1C;

// OPEN of the address; the device id, or 0 when the bridge refused.
std::uint32_t open_device(const link_client& link, const std::string& uri);
// DATA with the bytes for the device, then its replies up to `replies` of
// them; gtest failures when the link breaks or a reply is for another id.
std::vector<link_reply> exchange(const link_client& link, std::uint32_t id, const bytes& data,
                                 std::size_t replies);

// One scan started by the scan command and driven with an ACK after every
// block; the image samples without the status bytes, or nullopt after a gtest
// failure. `blocks`, when given, receives the number of data blocks.
std::optional<bytes> scan_with_acks(const link_client& link, std::uint32_t id,
                                    std::size_t* blocks = nullptr);

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_E2E_SCAN_CHECK_H_
