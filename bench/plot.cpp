// SPDX-License-Identifier: MIT
#include "bench/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace scanbridge::bench {

namespace {

constexpr double WIDTH = 780;
constexpr double HEIGHT = 470;
constexpr double LEFT = 80;
constexpr double RIGHT = 200;  // room for the legend
constexpr double TOP = 70;
constexpr double BOTTOM = 60;

std::string escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// A tick step of 1, 2, 2.5 or 5 times a power of ten giving 4 to 8 ticks.
double tick_step(double top) {
  const double raw = top / 6;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

}  // namespace

std::string size_label(std::uint32_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
    return std::to_string(bytes >> 20) + " MiB";
  }
  if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) {
    return std::to_string(bytes >> 10) + " KiB";
  }
  return std::to_string(bytes) + " B";
}

bool write_throughput_svg(const std::string& file, const std::vector<std::uint32_t>& block_sizes,
                          const std::vector<plot_series>& series, const std::string& title,
                          const std::string& subtitle, std::string* fault) {
  if (block_sizes.empty()) {
    *fault = "nothing to plot";
    return false;
  }
  const double plot_w = WIDTH - LEFT - RIGHT;
  const double plot_h = HEIGHT - TOP - BOTTOM;

  // x: log2 of the block size, with half a step of room at either end.
  double lo = std::log2(static_cast<double>(block_sizes.front()));
  double hi = std::log2(static_cast<double>(block_sizes.back()));
  for (const std::uint32_t s : block_sizes) {
    lo = std::min(lo, std::log2(static_cast<double>(s)));
    hi = std::max(hi, std::log2(static_cast<double>(s)));
  }
  lo -= 0.5;
  hi += 0.5;
  auto x_of = [&](std::uint32_t size) {
    return LEFT + (std::log2(static_cast<double>(size)) - lo) / (hi - lo) * plot_w;
  };

  // y: linear from 0 to a round value above the largest figure.
  double largest = 0;
  for (const plot_series& s : series) {
    for (const double v : s.values) largest = std::max(largest, v);
  }
  if (largest <= 0) largest = 1;
  const double step = tick_step(largest * 1.05);
  const double top = std::ceil(largest * 1.05 / step) * step;
  auto y_of = [&](double v) { return TOP + plot_h - v / top * plot_h; };

  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << WIDTH << "\" height=\"" << HEIGHT
      << "\" viewBox=\"0 0 " << WIDTH << ' ' << HEIGHT
      << "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"12\">\n";
  svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg << "<text x=\"" << LEFT << "\" y=\"28\" font-size=\"16\" font-weight=\"bold\">"
      << escape(title) << "</text>\n";
  svg << "<text x=\"" << LEFT << "\" y=\"48\" fill=\"#555\">" << escape(subtitle) << "</text>\n";

  // Grid, ticks and axis titles.
  for (double v = 0; v <= top + step / 2; v += step) {
    const double y = y_of(v);
    svg << "<line x1=\"" << LEFT << "\" y1=\"" << num(y) << "\" x2=\"" << LEFT + plot_w
        << "\" y2=\"" << num(y) << "\" stroke=\"#e3e3e3\"/>\n";
    svg << "<text x=\"" << LEFT - 8 << "\" y=\"" << num(y + 4) << "\" text-anchor=\"end\">"
        << static_cast<long long>(std::llround(v)) << "</text>\n";
  }
  for (const std::uint32_t s : block_sizes) {
    const double x = x_of(s);
    svg << "<line x1=\"" << num(x) << "\" y1=\"" << TOP << "\" x2=\"" << num(x) << "\" y2=\""
        << TOP + plot_h << "\" stroke=\"#e3e3e3\"/>\n";
    svg << "<text x=\"" << num(x) << "\" y=\"" << TOP + plot_h + 18 << "\" text-anchor=\"middle\">"
        << size_label(s) << "</text>\n";
  }
  svg << "<rect x=\"" << LEFT << "\" y=\"" << TOP << "\" width=\"" << plot_w << "\" height=\""
      << plot_h << "\" fill=\"none\" stroke=\"#444\"/>\n";
  svg << "<text x=\"" << LEFT + plot_w / 2 << "\" y=\"" << HEIGHT - 18
      << "\" text-anchor=\"middle\">block size (log scale)</text>\n";
  svg << "<text transform=\"translate(24 " << TOP + plot_h / 2
      << ") rotate(-90)\" text-anchor=\"middle\">throughput, MB/s (10^6 bytes/s)</text>\n";

  // The series, then the legend.
  for (const plot_series& s : series) {
    std::ostringstream points;
    for (std::size_t i = 0; i < block_sizes.size() && i < s.values.size(); ++i) {
      if (s.values[i] > 0)
        points << num(x_of(block_sizes[i])) << ',' << num(y_of(s.values[i])) << ' ';
    }
    svg << "<polyline fill=\"none\" stroke=\"" << s.color << "\" stroke-width=\"2.2\""
        << (s.dashed ? " stroke-dasharray=\"7 4\"" : "") << " points=\"" << points.str()
        << "\"/>\n";
    for (std::size_t i = 0; i < block_sizes.size() && i < s.values.size(); ++i) {
      if (s.values[i] <= 0) continue;
      svg << "<circle cx=\"" << num(x_of(block_sizes[i])) << "\" cy=\"" << num(y_of(s.values[i]))
          << "\" r=\"3.5\" fill=\"" << s.color << "\"/>\n";
    }
  }
  double legend_y = TOP + 10;
  const double legend_x = LEFT + plot_w + 18;
  for (const plot_series& s : series) {
    svg << "<line x1=\"" << legend_x << "\" y1=\"" << legend_y << "\" x2=\"" << legend_x + 28
        << "\" y2=\"" << legend_y << "\" stroke=\"" << s.color << "\" stroke-width=\"2.2\""
        << (s.dashed ? " stroke-dasharray=\"7 4\"" : "") << "/>\n";
    svg << "<circle cx=\"" << legend_x + 14 << "\" cy=\"" << legend_y << "\" r=\"3.5\" fill=\""
        << s.color << "\"/>\n";
    svg << "<text x=\"" << legend_x + 36 << "\" y=\"" << legend_y + 4 << "\">" << escape(s.label)
        << "</text>\n";
    legend_y += 22;
  }
  svg << "</svg>\n";

  std::ofstream out(file);
  out << svg.str();
  out.close();
  if (!out) {
    *fault = "cannot write " + file;
    return false;
  }
  return true;
}

}  // namespace scanbridge::bench
