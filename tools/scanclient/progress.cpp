// SPDX-License-Identifier: MIT
#include "tools/scanclient/progress.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

std::string format_duration(double seconds) {
  const auto total = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof(text), "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

std::string format_size(std::uint64_t bytes) {
  char text[32];
  const auto value = static_cast<double>(bytes);
  std::snprintf(text, sizeof(text), value < 1e6 ? "%.1f kB" : "%.1f MB",
                value < 1e6 ? value / 1e3 : value / 1e6);
  return text;
}

std::string format_rate(std::uint64_t bytes, double seconds) {
  return format_size(seconds > 0 ? static_cast<std::uint64_t>(static_cast<double>(bytes) / seconds)
                                 : 0) +
         "/s";
}

std::string format_progress(std::uint64_t done, std::uint64_t total, double seconds,
                            int bar_width) {
  std::string line;
  if (total > 0) {
    const std::uint64_t shown = done < total ? done : total;
    const double fraction = static_cast<double>(shown) / static_cast<double>(total);
    const int filled = static_cast<int>(fraction * bar_width);
    line += "[";
    line += std::string(static_cast<std::size_t>(filled), '#');
    line += std::string(static_cast<std::size_t>(bar_width - filled), '.');
    char percent[16];
    std::snprintf(percent, sizeof(percent), "] %3d%%  ", static_cast<int>(fraction * 100));
    line += percent + format_size(done) + " of " + format_size(total);
  } else {
    line += format_size(done);
  }
  line += "  " + format_rate(done, seconds);
  if (total > 0) {
    if (done >= total) {
      line += "  done in " + format_duration(seconds);
    } else if (done > 0 && seconds > 0) {
      const double left = seconds * static_cast<double>(total - done) / static_cast<double>(done);
      line += "  " + format_duration(left) + " left";
    } else {
      line += "  --:-- left";
    }
  }
  return line;
}

progress_meter::progress_meter(std::FILE* out, bool enabled, bool terminal)
    : out_(out), enabled_(enabled), terminal_(terminal), start_(clock::now()) {}

progress_meter::~progress_meter() {
  finish();
}

void progress_meter::update(std::uint64_t done, std::uint64_t total) {
  done_ = done;
  total_ = total;
  if (!enabled_) return;
  const clock::time_point now = clock::now();
  const auto interval =
      terminal_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
  if (drawn_ && now - last_draw_ < interval) return;
  draw_(done, total);
}

void progress_meter::break_line() {
  if (!enabled_ || !drawn_) return;
  if (terminal_) std::fputc('\n', out_);
  std::fflush(out_);
  drawn_ = false;
}

void progress_meter::finish() {
  if (!enabled_) return;
  if (drawn_) {
    draw_(done_, total_);
    if (terminal_) std::fputc('\n', out_);
    std::fflush(out_);
  }
  enabled_ = false;
}

void progress_meter::draw_(std::uint64_t done, std::uint64_t total) {
  const clock::time_point now = clock::now();
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string line = format_progress(done, total, seconds, 30);
  if (terminal_) {
    std::fprintf(out_, "\r%s\033[K", line.c_str());
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
  drawn_ = true;
  last_draw_ = now;
}

}  // namespace scanbridge::tools
