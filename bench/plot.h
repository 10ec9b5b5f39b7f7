// SPDX-License-Identifier: MIT
// A self-made SVG line chart: throughput against block size, log x axis.
#ifndef SCANBRIDGE_BENCH_PLOT_H_
#define SCANBRIDGE_BENCH_PLOT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace scanbridge::bench {

struct plot_series {
  std::string label;
  std::string color;  // any SVG colour
  bool dashed = false;
  std::vector<double> values;  // MB/s, one per block size; <= 0 means none
};

// Writes the chart to file; false (and *fault) when the file cannot be
// written.
bool write_throughput_svg(const std::string& file, const std::vector<std::uint32_t>& block_sizes,
                          const std::vector<plot_series>& series, const std::string& title,
                          const std::string& subtitle, std::string* fault);

// "4 KiB", "1 MiB".
std::string size_label(std::uint32_t bytes);

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_PLOT_H_
