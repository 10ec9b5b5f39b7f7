// SPDX-License-Identifier: MIT
// Whole scans through scanclient, the bridge it starts and the emulator, on
// both variants: the image file must hold the emulator's test image exactly.
// The emulator starts with its own default page (850x1100 grey), so the
// image only comes out right when the client's settings reached it.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"
#include "tests/support/loopback.h"

namespace scanbridge::testing {
namespace {

struct scan_case {
  const char* name;
  const char* variant;
  bool colour;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t block_size;
  bool esc_g = false;
  bool ipv6 = false;  // the emulator on ::1, opened as net://[::1]:PORT
};

std::ostream& operator<<(std::ostream& out, const scan_case& c) {
  return out << c.name;
}

class FullScan : public ::testing::TestWithParam<scan_case> {};

TEST_P(FullScan, ImageFileHoldsTheTestPattern) {
  const scan_case& c = GetParam();
  if (c.ipv6 && !ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback here";
  std::vector<std::string> emulator_args = {"--block-size", std::to_string(c.block_size)};
  if (c.ipv6) emulator_args.insert(emulator_args.end(), {"--address", "::1"});
  emulator_process scanner(c.variant, emulator_args);
  const temp_file image(std::string(c.name) + ".pnm");
  const std::string uri = c.ipv6 ? "net://[::1]:" + std::to_string(scanner.port()) : scanner.uri();
  std::vector<std::string> args = {"scan", uri, "--output", image.path()};
  args.insert(args.end(), {"--width", std::to_string(c.width), "--height", std::to_string(c.height),
                           c.colour ? "--colour" : "--grey"});
  args.insert(args.end(), {"--resolution", "150"});
  if (c.esc_g) args.push_back("--esc-g");

  const client_result result = run_scanclient(args);
  ASSERT_EQ(result.status, exited(0)) << result;
  // Success says nothing: no summary, and no warning about the announced size.
  EXPECT_EQ(result.out, "") << result;
  EXPECT_EQ(result.err, "") << result;

  std::string error;
  const std::optional<pnm_image> file = read_pnm(image.path(), &error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->geometry.width, c.width);
  EXPECT_EQ(file->geometry.height, c.height);
  EXPECT_EQ(file->geometry.colour, c.colour);
  EXPECT_EQ(compare_with_pattern(file->samples, file->geometry), "");
}

// Grey 64x48 is 3072 bytes, RGB 9216; 200x150 is 30000 and 90000 bytes. The
// block sizes give a short last block, an exact fit (the last block as long
// as the others, told apart only by the count), and the IS transfer requests
// for no, one and several full blocks before the last.
INSTANTIATE_TEST_SUITE_P(
    BothVariants, FullScan,
    ::testing::Values(scan_case{"nt_grey_short_last", "nt", false, 64, 48, 1000},
                      scan_case{"nt_colour_short_last", "nt", true, 64, 48, 1000},
                      scan_case{"nt_grey_exact_fit", "nt", false, 200, 150, 6000},
                      scan_case{"nt_colour_exact_fit", "nt", true, 200, 150, 9000},
                      scan_case{"nt_one_block", "nt", false, 64, 48, 4096},
                      scan_case{"nt_esc_g", "nt", true, 64, 48, 1000, true},
                      scan_case{"is_grey_short_last", "is", false, 64, 48, 1000},
                      scan_case{"is_colour_short_last", "is", true, 64, 48, 1000},
                      scan_case{"is_grey_exact_fit", "is", false, 200, 150, 6000},
                      scan_case{"is_colour_exact_fit", "is", true, 200, 150, 9000},
                      scan_case{"is_one_block", "is", false, 64, 48, 4096},
                      scan_case{"is_one_full_block_then_short", "is", false, 64, 48, 2000},
                      scan_case{"is_one_full_block_exact_fit", "is", false, 64, 48, 1536},
                      scan_case{"nt_over_ipv6", "nt", true, 64, 48, 1000, false, true},
                      scan_case{"is_over_ipv6", "is", true, 64, 48, 1000, false, true}),
    [](const ::testing::TestParamInfo<scan_case>& param) { return std::string(param.param.name); });

// "-o -": the image on standard output, the summary, asked for, on standard
// error, sizes of a tiny scan in kB.
TEST(Output, StandardOutputTakesTheImage) {
  emulator_process scanner("is", {"--block-size", "1000"});
  const client_result pnm = run_scanclient({"scan", "-d", scanner.uri(), "--format=pnm", "-o", "-",
                                            "--width", "64", "--height", "48", "--grey", "-v"});
  ASSERT_EQ(pnm.status, exited(0)) << pnm;
  EXPECT_EQ(pnm.err.rfind("scanclient: scanned 64x48 grey, 3.1 kB in ", 0), 0u) << pnm;
  const temp_file image("stdout.pnm");
  std::FILE* file = std::fopen(image.path().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(pnm.out.data(), 1, pnm.out.size(), file);
  std::fclose(file);
  std::string error;
  const std::optional<pnm_image> read = read_pnm(image.path(), &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(compare_with_pattern(read->samples, {64, 48, false}), "");

  // No -o and no --format: PNG on standard output, as scanimage writes, or
  // PNM with a note where the build has no libpng.
  const client_result png =
      run_scanclient({"-d", scanner.uri(), "--width", "16", "--height", "8", "--grey"});
  ASSERT_EQ(png.status, exited(0)) << png;
  const bool noted = png.err.find("PNG output is not built in") != std::string::npos;
  EXPECT_EQ(png.out.substr(0, 4), noted ? "P5\n1" : "\x89PNG") << png;
}

// The output is made before the bridge starts: a path that cannot be
// written, or a standard output that is closed, ends the run with one line
// and nothing sent to the scanner. Descriptors 0-2 are taken at start, so a
// socket never becomes standard output.
TEST(Output, UnwritablePathFailsBeforeTheScanner) {
  emulator_process scanner("nt", {"--verbose"});
  const temp_file missing_dir("missing-dir");
  const std::string path = missing_dir.path() + "/x.png";
  const client_result result = run_scanclient({"scan", scanner.uri(), "-o", path});
  EXPECT_EQ(result.status, exited(1)) << result;
  EXPECT_EQ(result.err, "scanclient: cannot write " + path + ".part: No such file or directory\n");

  std::vector<std::string> closed = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"};
  for (const std::string& arg : scanclient_command({"-d", scanner.uri(), "-o", "-"})) {
    closed.push_back(arg);
  }
  spawned_process client(closed);
  EXPECT_EQ(client.finish(), exited(1));
  EXPECT_EQ(client.stderr_text(),
            "scanclient: cannot write standard output: Bad file descriptor\n");
  EXPECT_EQ(scanner.log(), "");  // not even a connection
}

}  // namespace
}  // namespace scanbridge::testing
