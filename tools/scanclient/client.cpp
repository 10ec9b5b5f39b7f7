// SPDX-License-Identifier: MIT
#include "tools/scanclient/client.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "tools/common/program.h"
#include "tools/scanclient/address.h"
#include "tools/scanclient/bridge_link.h"
#include "tools/scanclient/bridge_process.h"
#include "tools/scanclient/device.h"
#include "tools/scanclient/image_file.h"
#include "tools/scanclient/open_failure.h"
#include "tools/scanclient/probe.h"
#include "tools/scanclient/progress.h"
#include "tools/scanclient/scan.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

constexpr std::size_t kLabelWidth = 10;

double ms_since(clock::time_point start) {
  return std::chrono::duration<double, std::milli>(clock::now() - start).count();
}

void print_step(const std::string& label, const std::string& text, double ms) {
  std::string line = label;
  line.resize(kLabelWidth, ' ');
  line += text;
  if (ms >= 0) line += "  [" + format_ms(ms) + "]";
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class session {
 public:
  session(const client_options& options, const volatile std::sig_atomic_t* interrupts)
      : options_(options),
        interrupts_(interrupts),
        timeout_ms_(options.timeout_s * 1000),
        trace_(stderr) {}

  int run();

 private:
  // Starts the bridge, connects and opens the device.
  outcome connect_(bool report_steps);
  int probe_();
  int scan_();
  // Prints the error line and gives the exit status for a failed outcome.
  int fail_(const outcome& failed);

  const client_options& options_;
  const volatile std::sig_atomic_t* interrupts_;
  int timeout_ms_;
  int interrupt_threshold_ = 1;
  trace_log trace_;
  // Destroyed in reverse order: the device sends CLOSE, then the link closes,
  // then the bridge is stopped.
  std::unique_ptr<bridge_process> bridge_;
  std::unique_ptr<bridge_link> link_;
  std::unique_ptr<device> device_;
};

int session::fail_(const outcome& failed) {
  std::string text = failed.message();
  if (bridge_) {
    // A link that broke usually means the bridge is going; let it finish so
    // that its end can be told.
    const bool link_lost = device_ && (device_->last_receive() == receive_status::CLOSED ||
                                       device_->last_receive() == receive_status::FAILED);
    if (link_lost) bridge_->wait_for_exit(500);
    if (!bridge_->running()) text += " (the bridge " + bridge_->exit_text() + ")";
  }
  std::fprintf(stderr, "scanclient: %s\n", text.c_str());
  return failed.is_cancelled() ? EXIT_CANCELLED : EXIT_FAILED;
}

outcome session::connect_(bool report_steps) {
  clock::time_point start = clock::now();
  int port = options_.connect_port;
  std::function<bool()> bridge_alive;
  if (port == 0) {
    std::string path;
    std::string error;
    if (!locate_bridge(options_.bridge, executable_dir(), LIBEXEC_FROM_BIN, &path, &error)) {
      return outcome::failure(error);
    }
    outcome started = bridge_process::start(path, timeout_ms_, &bridge_);
    if (!started.is_ok()) return started;
    port = bridge_->port();
    bridge_process* bridge = bridge_.get();
    bridge_alive = [bridge] { return bridge->running(); };
    if (report_steps) {
      print_step("bridge", path + ", port " + std::to_string(port), ms_since(start));
    }
  } else if (report_steps) {
    print_step("bridge", "already running, port " + std::to_string(port), -1);
  }

  start = clock::now();
  // A running bridge refuses connections for a moment while it gets ready
  // for its next client; the retries ride that out.
  outcome step =
      bridge_link::connect(port, timeout_ms_ < 10000 ? timeout_ms_ : 10000, bridge_alive, &link_);
  if (!step.is_ok()) return step;
  if (report_steps) print_step("connect", "127.0.0.1:" + std::to_string(port), ms_since(start));
  if (options_.trace) link_->set_trace(&trace_);
  link_->set_interrupt_check([this] { return *interrupts_ >= interrupt_threshold_; });

  device_ = std::make_unique<device>(link_.get(), timeout_ms_);
  start = clock::now();
  step = device_->open(options_.uri, [](std::string_view uri) {
    scanner_address address;
    std::string error;  // none: the command line was checked
    parse_scanner_address(uri, &address, &error);
    return explain_open_failure(address);
  });
  if (!step.is_ok()) return step;
  if (report_steps) {
    print_step("open", options_.uri + ": device " + std::to_string(device_->id()), ms_since(start));
  }
  return outcome::ok();
}

int session::probe_() {
  outcome step = connect_(true);
  if (!step.is_ok()) return fail_(step);

  probe_report report;
  step = run_probe(device_.get(), options_.query_timeout_s * 1000, &report,
                   [](const probe_result& result) {
                     for (const std::string& line : format_probe_result(result, kLabelWidth)) {
                       std::printf("%s\n", line.c_str());
                     }
                     std::fflush(stdout);
                   });
  if (step.is_cancelled()) return fail_(step);
  const std::string variant = variant_verdict(report);
  if (!variant.empty()) print_step("variant", variant, -1);

  const clock::time_point start = clock::now();
  device_->close();
  print_step("close", "CLOSE sent (the bridge does not answer it)", ms_since(start));
  if (!step.is_ok()) return fail_(outcome::failure("probe incomplete: " + step.message()));
  return 0;
}

int session::scan_() {
  scan_settings settings;
  settings.geometry.width = options_.width;
  settings.geometry.height = options_.height;
  settings.geometry.colour = options_.colour.value_or(true);
  settings.resolution = static_cast<std::uint16_t>(options_.resolution);
  settings.esc_g = options_.esc_g;
  const std::string problem = check_settings(settings);
  if (!problem.empty()) return fail_(outcome::failure(problem));
  format_choice format;
  std::string error;
  if (!choose_format(options_.output, options_.format, png_built_in(), &format, &error)) {
    return fail_(outcome::failure(error));
  }
  if (!format.note.empty()) std::fprintf(stderr, "scanclient: %s\n", format.note.c_str());
  // Made before the scanner is driven: a path that cannot be written ends
  // the run here, with nothing sent.
  std::unique_ptr<image_output> output;
  outcome step = image_output::open(options_.output, &output);
  if (!step.is_ok()) return fail_(step);

  step = connect_(false);
  if (!step.is_ok()) return fail_(step);

  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  const bool show =
      options_.show_progress == client_options::progress::ALWAYS ||
      (options_.show_progress == client_options::progress::AUTO && terminal && !options_.trace);
  progress_meter meter(stderr, show, terminal);
  scan_hooks hooks;
  hooks.cancel_requested = [this] { return *interrupts_ > 0; };
  hooks.progress = [&meter](std::uint64_t done, std::uint64_t total) { meter.update(done, total); };
  hooks.warn = [&meter](const std::string& text) {
    meter.break_line();
    std::fprintf(stderr, "scanclient: warning: %s\n", text.c_str());
  };
  hooks.note = [&meter](const std::string& text) {
    meter.break_line();
    std::fprintf(stderr, "scanclient: %s\n", text.c_str());
  };

  // From here the first Ctrl-C cancels the scan in order; only a second one
  // stops a wait.
  interrupt_threshold_ = 2;
  scan_report report;
  step = run_scan(device_.get(), settings, hooks, &report);
  meter.finish();
  device_->close();
  if (!step.is_ok()) return fail_(step);

  step = output->write(format.format, settings.geometry, options_.resolution, report.image);
  if (!step.is_ok()) return fail_(step);
  // Standard output carries image data only.
  if (options_.verbose || options_.show_progress == client_options::progress::ALWAYS) {
    std::fprintf(stderr, "scanclient: scanned %s, %s in %s (%s) -> %s\n",
                 describe_geometry(settings.geometry).c_str(), format_size(report.received).c_str(),
                 format_ms(report.seconds * 1000).c_str(),
                 format_rate(report.received, report.seconds).c_str(), output->name().c_str());
  }
  return 0;
}

int session::run() {
  switch (options_.command) {
    case client_options::mode::PROBE:
      return probe_();
    case client_options::mode::SCAN:
      return scan_();
    case client_options::mode::NONE:
      break;
  }
  return EXIT_USAGE;
}

}  // namespace

int run_client(const client_options& options, const volatile std::sig_atomic_t* interrupts) {
  session current(options, interrupts);
  return current.run();
}

}  // namespace scanbridge::tools
