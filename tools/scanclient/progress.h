// SPDX-License-Identifier: MIT
// The progress bar of a scan on standard error: bytes, rate and time left,
// redrawn a few times per second at most.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_PROGRESS_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace scanbridge::tools {

// "[##########..........]  50%  5.6 MB of 11.2 MB  13.1 MB/s  0:01 left".
// With a total of 0 the bar and the time left are left out.
std::string format_progress(std::uint64_t done, std::uint64_t total, double seconds, int bar_width);

// "3.1 kB", "11.2 MB", "13.1 MB/s": decimal kilobytes below a megabyte,
// decimal megabytes from there.
std::string format_size(std::uint64_t bytes);
std::string format_rate(std::uint64_t bytes, double seconds);

class progress_meter {
 public:
  // On a terminal the bar is redrawn in place at most every 250 ms; elsewhere
  // one line is written per second at most. A disabled meter writes nothing.
  progress_meter(std::FILE* out, bool enabled, bool terminal);
  ~progress_meter();

  progress_meter(const progress_meter&) = delete;
  progress_meter& operator=(const progress_meter&) = delete;

  void update(std::uint64_t done, std::uint64_t total);
  // Ends the bar's line so that a message can follow; the next update draws
  // the bar again.
  void break_line();
  // Draws the final state and ends the line. Called by the destructor if
  // needed.
  void finish();

 private:
  void draw_(std::uint64_t done, std::uint64_t total);

  std::FILE* out_;
  bool enabled_;
  bool terminal_;
  bool drawn_ = false;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_PROGRESS_H_
