// SPDX-License-Identifier: MIT
// scanbench: the bridge against an ideal relay and against the direct
// stream, on loopback, in one run. See docs/performance.md.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/driver.h"
#include "bench/ideal_relay.h"
#include "bench/measure.h"
#include "bench/plot.h"
#include "tools/common/command_line.h"
#include "tools/common/program.h"

namespace scanbridge::bench {

namespace {

constexpr std::uint64_t MIB = 1024 * 1024;

struct options {
  bool quick = false;
  std::string bridge;
  std::string plot;
  std::uint64_t mib_per_run = 256;
  int repeats = 5;
  std::vector<std::uint32_t> sizes = {4u << 10, 16u << 10, 64u << 10, 256u << 10, 1u << 20};
  std::uint64_t round_trips = 20'000;
  int starts = 20;
  double max_seconds = 6;
  int stall_seconds = 3;
  bool verify_all = false;
  bool verbose = false;
};

std::string usage() {
  return "usage: scanbench [options]\n"
         "\n"
         "Measures on loopback, side by side: scan relay throughput through scanbridge\n"
         "(NT and IS) against an ideal relay and the direct stream, ESC @ round trips\n"
         "per second, the bridge's peak resident memory and its start-up time. Prints a\n"
         "table and, last, one summary line starting with \"scanbench:\".\n"
         "\n"
         "  -q, --quick       short run: 32 MiB a scan, 3 repeats, 0.25 s caps, under 30 s\n"
         "  --bridge PATH     the bridge to measure (default: scanbridge beside scanbench)\n"
         "  --plot FILE.svg   also draw throughput against block size as an SVG chart\n"
         "  --mib N           MiB of data per scan run (default 256, quick 32)\n"
         "  --repeats N       runs per figure, the median is reported (default 5, quick 3)\n"
         "  --sizes LIST      block sizes, e.g. 4k,64k,1m (default 4k,16k,64k,256k,1m)\n"
         "  --round-trips N   ESC @ commands a round-trip run (default 20000, quick 4000)\n"
         "  --starts N        bridge starts timed (default 20, quick 10)\n"
         "  --max-seconds S   cut each timed run short after about S seconds: a scan\n"
         "                    then counts the blocks received so far, a round-trip\n"
         "                    run the commands done (default 6, quick 0.25)\n"
         "  --stall-seconds S a relay that leaves the driver S seconds without a reply\n"
         "                    has stalled: reported, and the run counts up to the stall\n"
         "                    (default 3, quick 1)\n"
         "  --verify          compare every byte of every timed scan (slower driver)\n"
         "  -v, --verbose     print every single run on standard error\n"
         "  -h, --help        this text\n"
         "  -V, --version     the version\n";
}

bool parse_size(const std::string& text, std::uint32_t* out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 10);
  std::uint64_t scale = 1;
  if (*end == 'k' || *end == 'K') {
    scale = 1024;
    ++end;
  } else if (*end == 'm' || *end == 'M') {
    scale = MIB;
    ++end;
  }
  const std::uint64_t bytes = v * scale;
  if (*end != '\0' || bytes < 64 || bytes > 64 * MIB) return false;
  *out = static_cast<std::uint32_t>(bytes);
  return true;
}

enum option_code {
  OPT_HELP,
  OPT_VERSION,
  OPT_QUICK,
  OPT_BRIDGE,
  OPT_PLOT,
  OPT_MIB,
  OPT_REPEATS,
  OPT_SIZES,
  OPT_ROUND_TRIPS,
  OPT_STARTS,
  OPT_MAX_SECONDS,
  OPT_STALL_SECONDS,
  OPT_VERIFY,
  OPT_VERBOSE,
};

constexpr tools::option_def kOptions[] = {
    {"help", 'h', false, OPT_HELP},
    {"version", 'V', false, OPT_VERSION},
    {"quick", 'q', false, OPT_QUICK},
    {"bridge", 0, true, OPT_BRIDGE},
    {"plot", 0, true, OPT_PLOT},
    {"mib", 0, true, OPT_MIB},
    {"repeats", 0, true, OPT_REPEATS},
    {"sizes", 0, true, OPT_SIZES},
    {"round-trips", 0, true, OPT_ROUND_TRIPS},
    {"starts", 0, true, OPT_STARTS},
    {"max-seconds", 0, true, OPT_MAX_SECONDS},
    {"stall-seconds", 0, true, OPT_STALL_SECONDS},
    {"verify", 0, false, OPT_VERIFY},
    {"verbose", 'v', false, OPT_VERBOSE},
};

// "4k,64k,1m": sorted, each size once.
bool parse_sizes(const std::string& text, std::vector<std::uint32_t>* sizes) {
  sizes->clear();
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    std::uint32_t size = 0;
    if (!parse_size(text.substr(from, comma - from), &size)) return false;
    sizes->push_back(size);
    from = comma + 1;
  }
  std::sort(sizes->begin(), sizes->end());
  sizes->erase(std::unique(sizes->begin(), sizes->end()), sizes->end());
  return true;
}

bool parse_seconds(const std::string& text, double* seconds) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value > 0) || value > 3600) return false;
  *seconds = value;
  return true;
}

bool apply(const tools::given_option& g, options* o, std::string* error) {
  using tools::take_number;
  constexpr std::uint64_t kMany = 1'000'000'000;
  switch (g.code) {
    case OPT_HELP:
    case OPT_VERSION:
    case OPT_QUICK:
      return true;
    case OPT_BRIDGE:
      o->bridge = g.value;
      return true;
    case OPT_PLOT:
      o->plot = g.value;
      return true;
    case OPT_MIB:
      return take_number(g, 1, 1 << 20, &o->mib_per_run, error);
    case OPT_REPEATS:
      return take_number(g, 1, 1000, &o->repeats, error);
    case OPT_SIZES:
      if (parse_sizes(g.value, &o->sizes)) return true;
      *error = tools::bad_value(g, "block sizes from 64 to 64m, e.g. 4k,64k,1m");
      return false;
    case OPT_ROUND_TRIPS:
      return take_number(g, 0, kMany, &o->round_trips, error);
    case OPT_STARTS:
      return take_number(g, 0, 100000, &o->starts, error);
    case OPT_MAX_SECONDS:
      if (parse_seconds(g.value, &o->max_seconds)) return true;
      *error = tools::bad_value(g, "seconds above 0, e.g. 0.25");
      return false;
    case OPT_STALL_SECONDS:
      return take_number(g, 1, 3600, &o->stall_seconds, error);
    case OPT_VERIFY:
      o->verify_all = true;
      return true;
    case OPT_VERBOSE:
      o->verbose = true;
      return true;
  }
  return true;
}

// False, with one line in *error, for a command line that cannot run.
bool parse_options(const std::vector<std::string>& args, options* o, bool* help, bool* version,
                   std::string* error) {
  std::vector<tools::given_option> given;
  std::vector<std::string> operands;
  if (!tools::parse_command_line(args, kOptions, &given, &operands, error)) return false;
  if (!operands.empty()) {
    *error = "unexpected argument '" + operands.front() + "'";
    return false;
  }
  for (const tools::given_option& g : given) {
    *help = *help || g.code == OPT_HELP;
    *version = *version || g.code == OPT_VERSION;
    // --quick first, so that explicit figures given with it still win.
    if (g.code == OPT_QUICK && !o->quick) {
      o->quick = true;
      o->mib_per_run = 32;
      o->repeats = 3;
      o->round_trips = 4'000;
      o->starts = 10;
      o->max_seconds = 0.25;
      o->stall_seconds = 1;
    }
  }
  for (const tools::given_option& g : given) {
    if (!apply(g, o, error)) return false;
  }
  return true;
}

std::string beside_self(const std::string& name) {
  const std::string dir = tools::executable_dir();
  return dir.empty() ? name : dir + "/" + name;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string now_utc() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
  return buf;
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  std::string five;
  in >> one >> five;
  return one + " " + five;
}

// The five paths every block size is measured on.
struct path_setup {
  std::string label;
  bool direct = false;
  bool bridge = false;
  variant v = variant::nt;
  command_line relay;
};

// Medians of one path over the block sizes, and the bridge's peak memory.
struct path_figures {
  std::map<std::uint32_t, std::vector<double>> mb_per_s;
  std::map<std::uint32_t, std::vector<double>> mib;
  std::map<std::uint32_t, std::vector<double>> first_block_ms;
  std::map<std::uint32_t, std::vector<double>> stream_mb_per_s;
  std::map<std::uint32_t, std::vector<double>> driver_busy;
  std::map<std::uint32_t, std::vector<double>> scanner_busy;
  std::map<std::uint32_t, std::uint64_t> peak_rss_kib;
};

class bench_run {
 public:
  explicit bench_run(options o) : o_(std::move(o)) {
    const command_line bridge{o_.bridge};
    const std::string self = tools::executable_path();
    const command_line ideal{self.empty() ? "scanbench" : self, "--ideal-relay"};
    paths_ = {{"bridge NT", false, true, variant::nt, bridge},
              {"bridge IS", false, true, variant::is, bridge},
              {"ideal NT", false, false, variant::nt, ideal},
              {"ideal IS", false, false, variant::is, ideal},
              {"direct", true, false, variant::nt, {}}};
  }

  int run() {
    std::printf("scanbench %s: bridge %s\n", now_utc().c_str(), o_.bridge.c_str());
    utsname u{};
    uname(&u);
    std::printf("machine: %ld cores, Linux %s, load average %s at the start\n",
                sysconf(_SC_NPROCESSORS_ONLN), u.release, load_average().c_str());
    std::fflush(stdout);
    if (!check_pass_() || !startup_() || !round_trips_() || !scans_()) return 1;
    report_();
    // Figures were made, but a relay that stalls is broken: say so.
    return stalls_.empty() ? 0 : 3;
  }

 private:
  // Blocks of each check scan, every byte compared.
  static constexpr std::uint64_t CHECK_BLOCKS = 12;
  static constexpr std::uint64_t CHECK_ROUND_TRIPS = 5;

  static constexpr std::size_t BRIDGE_NT = 0;
  static constexpr std::size_t BRIDGE_IS = 1;
  static constexpr std::size_t IDEAL_NT = 2;
  static constexpr std::size_t IDEAL_IS = 3;
  static constexpr std::size_t DIRECT = 4;
  // Each bridge run is followed at once by the ideal relay run it is
  // compared with, so that both see the same moment of a busy machine.
  static constexpr std::size_t RUN_ORDER[] = {BRIDGE_NT, IDEAL_NT, BRIDGE_IS, IDEAL_IS, DIRECT};

  scan_measurement scan_(const path_setup& p, const scan_shape& shape, bool verify,
                         double max_seconds) {
    return p.direct ? measure_direct_scan(shape, verify, max_seconds)
                    : measure_relay_scan(p.relay, p.v, shape, verify, max_seconds);
  }

  // A scan; a stall is recorded and reported, and the run's figures then
  // cover the blocks before it. False on any other fault.
  bool scan_run_(std::size_t path, std::uint32_t size, const scan_shape& shape, bool verify,
                 double max_seconds, const std::string& context, scan_measurement* out) {
    const path_setup& p = paths_[path];
    *out = scan_(p, shape, verify, max_seconds);
    const std::string what = context + ", " + p.label + ", " + size_label(size);
    if (!out->fault.empty()) return fail_(what, out->fault);
    if (out->stalled) {
      ++stall_count_[path][size];
      stalls_.push_back(what + ": " + out->stall);
      std::fprintf(stderr, "scanbench: stall: %s\n", stalls_.back().c_str());
    }
    return true;
  }

  bool fail_(const std::string& what, const std::string& fault) {
    std::fprintf(stderr, "scanbench: %s: %s\n", what.c_str(), fault.c_str());
    std::printf("scanbench: FAILED (%s: %s)\n", what.c_str(), fault.c_str());
    return false;
  }

  // Every path once, small, with every byte compared, before anything is
  // timed: a relay that loses or alters a byte is reported, not measured.
  bool check_pass_() {
    std::vector<std::uint32_t> check_sizes = {o_.sizes.front()};
    if (o_.sizes.back() != o_.sizes.front()) check_sizes.push_back(o_.sizes.back());
    for (const std::uint32_t size : check_sizes) {
      const scan_shape shape = shape_of_blocks(size, CHECK_BLOCKS);
      for (std::size_t i = 0; i < paths_.size(); ++i) {
        // Generous time: a check must see its scan to the end.
        scan_measurement m;
        if (!scan_run_(i, size, shape, true, 60, "check", &m)) return false;
      }
    }
    for (const path_setup& p : paths_) {
      if (p.direct) continue;
      const rate_measurement m =
          measure_round_trips(p.relay, p.v, CHECK_ROUND_TRIPS, o_.max_seconds);
      if (!m.fault.empty()) return fail_("check, " + p.label + ", ESC @", m.fault);
    }
    std::printf(
        "check: all five paths passed on every byte of the information and data\n"
        "       blocks and on every exchange with the scanner%s\n",
        stalls_.empty() ? "" : " (up to the stalls listed below)");
    std::fflush(stdout);
    return true;
  }

  bool startup_() {
    for (int i = 0; i < o_.starts; ++i) {
      const startup_measurement m = measure_startup(paths_[BRIDGE_NT].relay);
      if (!m.fault.empty()) return fail_("start-up", m.fault);
      startup_ms_.push_back(m.milliseconds);
    }
    return true;
  }

  bool round_trips_() {
    if (o_.round_trips == 0) return true;
    for (int r = 0; r < o_.repeats; ++r) {
      std::fprintf(stderr, "round trips, run %d of %d\n", r + 1, o_.repeats);
      for (const std::size_t i : RUN_ORDER) {
        const path_setup& p = paths_[i];
        if (p.direct) continue;
        const rate_measurement m =
            measure_round_trips(p.relay, p.v, o_.round_trips, o_.max_seconds);
        if (!m.fault.empty()) return fail_(p.label + ", ESC @", m.fault);
        rtt_[i].push_back(m.per_second);
        rtt_count_[i].push_back(static_cast<double>(m.count));
        if (o_.verbose) {
          std::fprintf(stderr, "  %-10s %10.0f /s (%llu)\n", p.label.c_str(), m.per_second,
                       static_cast<unsigned long long>(m.count));
        }
      }
    }
    return true;
  }

  bool scans_() {
    // Repeats outermost, so that a noisy spell on the machine spreads over
    // all paths and sizes instead of spoiling one figure.
    for (int r = 0; r < o_.repeats; ++r) {
      std::fprintf(stderr, "scans, run %d of %d\n", r + 1, o_.repeats);
      for (const std::uint32_t size : o_.sizes) {
        const scan_shape shape = shape_for(size, o_.mib_per_run * MIB);
        for (const std::size_t i : RUN_ORDER) {
          const path_setup& p = paths_[i];
          scan_measurement m;
          if (!scan_run_(i, size, shape, o_.verify_all, o_.max_seconds,
                         "run " + std::to_string(r + 1), &m)) {
            return false;
          }
          figures_[i].mb_per_s[size].push_back(m.mb_per_s);
          figures_[i].mib[size].push_back(m.mib);
          figures_[i].first_block_ms[size].push_back(m.first_block_ms);
          figures_[i].stream_mb_per_s[size].push_back(m.stream_mb_per_s);
          figures_[i].driver_busy[size].push_back(m.driver_busy);
          figures_[i].scanner_busy[size].push_back(m.scanner_busy);
          auto& peak = figures_[i].peak_rss_kib[size];
          peak = std::max(peak, m.peak_rss_kib);
          if (o_.verbose) {
            std::fprintf(stderr, "  %-8s %-10s %9.1f MB/s  VmHWM %llu KiB\n",
                         size_label(size).c_str(), p.label.c_str(), m.mb_per_s,
                         static_cast<unsigned long long>(m.peak_rss_kib));
          }
        }
      }
    }
    return true;
  }

  double scan_median_(std::size_t path, std::uint32_t size) {
    return median(figures_[path].mb_per_s[size]);
  }

  double run_mib_(std::size_t path, std::uint32_t size) { return median(figures_[path].mib[size]); }

  // Bridge over ideal relay for the blocks after the first, worse variant.
  double stream_ratio_(std::uint32_t size) {
    auto ratio = [&](std::size_t bridge, std::size_t ideal) {
      return paired_ratio(figures_[bridge].stream_mb_per_s[size],
                          figures_[ideal].stream_mb_per_s[size]);
    };
    return std::min(ratio(BRIDGE_NT, IDEAL_NT), ratio(BRIDGE_IS, IDEAL_IS));
  }

  // The largest per-cell median of a busy share over the relay paths.
  double busiest_(std::map<std::uint32_t, std::vector<double>> path_figures::*share) {
    double most = 0;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      if (paths_[i].direct) continue;
      for (const std::uint32_t size : o_.sizes) {
        most = std::max(most, median((figures_[i].*share)[size]));
      }
    }
    return most;
  }

  double first_ms_(std::size_t path, std::uint32_t size) {
    return median(figures_[path].first_block_ms[size]);
  }

  // The median over the runs of bridge / ideal relay, each pair measured
  // back to back.
  static double paired_ratio(const std::vector<double>& bridge, const std::vector<double>& ideal) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < bridge.size() && r < ideal.size(); ++r) {
      if (ideal[r] > 0) ratios.push_back(bridge[r] / ideal[r]);
    }
    return median(ratios);
  }

  // Bridge over ideal relay, per variant; the worse of the two is reported.
  double ratio_(std::size_t bridge, std::size_t ideal, std::uint32_t size) {
    return paired_ratio(figures_[bridge].mb_per_s[size], figures_[ideal].mb_per_s[size]);
  }

  double worse_ratio_(std::uint32_t size) {
    return std::min(ratio_(BRIDGE_NT, IDEAL_NT, size), ratio_(BRIDGE_IS, IDEAL_IS, size));
  }

  double peak_mib_(std::uint32_t size) {
    const std::uint64_t kib =
        std::max(figures_[BRIDGE_NT].peak_rss_kib[size], figures_[BRIDGE_IS].peak_rss_kib[size]);
    return static_cast<double>(kib) / 1024;
  }

  // Spread of the runs of one figure: (max - min) / median.
  double spread_(std::size_t path, std::uint32_t size) {
    const std::vector<double>& v = figures_[path].mb_per_s[size];
    const double m = median(v);
    if (v.empty() || m <= 0) return 0;
    return (*std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end())) / m;
  }

  void report_() {
    std::printf(
        "\nscan relay throughput, MB/s (10^6 bytes/s): median of %d runs, one ACK per\n"
        "block; ratio = median over the runs of bridge / ideal relay of the same\n"
        "variant, run right after it; \"worse\" = the lower of the two variants (the\n"
        "figure of the summary line)\n\n",
        o_.repeats);
    std::printf("%-8s %10s %10s %10s %10s %10s %8s %8s %6s %6s %7s %7s\n", "block", "bridge NT",
                "bridge IS", "ideal NT", "ideal IS", "direct", "NT/ideal", "IS/ideal", "worse",
                "VmHWM", "spread", "stalls");
    for (const std::uint32_t size : o_.sizes) {
      double spread = 0;
      for (std::size_t i = 0; i < paths_.size(); ++i) spread = std::max(spread, spread_(i, size));
      int stalls = 0;
      for (std::size_t i = 0; i < paths_.size(); ++i) stalls += stall_count_[i][size];
      std::printf("%-8s %10.1f %10.1f %10.1f %10.1f %10.1f %8.2f %8.2f %6.2f %6.1f %6.0f%% %7d\n",
                  size_label(size).c_str(), scan_median_(BRIDGE_NT, size),
                  scan_median_(BRIDGE_IS, size), scan_median_(IDEAL_NT, size),
                  scan_median_(IDEAL_IS, size), scan_median_(DIRECT, size),
                  ratio_(BRIDGE_NT, IDEAL_NT, size), ratio_(BRIDGE_IS, IDEAL_IS, size),
                  worse_ratio_(size), peak_mib_(size), spread * 100, stalls);
    }
    std::printf(
        "(VmHWM: the bridge's peak resident memory in MiB, the larger of its NT and IS\n"
        " runs; spread: (max - min) / median of the noisiest path in the row; stalls:\n"
        " runs in which a relay left the driver %d s without a reply; such a run counts\n"
        " with the blocks it relayed before the stall)\n",
        reply_timeout());
    for (const std::string& stall : stalls_) std::printf("stall: %s\n", stall.c_str());

    std::printf(
        "\nwhere the time goes: data per run (MiB, median; asked: %llu, and a run is cut\n"
        "short after %.2f s), time from FS G to the first data block (ms), and the\n"
        "stream ratio: bridge / ideal relay for the blocks after the first one, the\n"
        "worse variant (what per-block work costs, without the start of the scan)\n\n",
        static_cast<unsigned long long>(o_.mib_per_run), o_.max_seconds);
    std::printf("%-8s %8s %8s %8s %8s %8s  %7s %7s %7s %7s  %7s\n", "", "MiB/run", "", "", "", "",
                "1st ms", "", "", "", "stream");
    std::printf("%-8s %8s %8s %8s %8s %8s  %7s %7s %7s %7s  %7s\n", "block", "brdg NT", "brdg IS",
                "idl NT", "idl IS", "direct", "brdg NT", "brdg IS", "idl NT", "idl IS", "ratio");
    for (const std::uint32_t size : o_.sizes) {
      std::printf("%-8s %8.1f %8.1f %8.1f %8.1f %8.1f  %7.2f %7.2f %7.2f %7.2f  %7.2f\n",
                  size_label(size).c_str(), run_mib_(BRIDGE_NT, size), run_mib_(BRIDGE_IS, size),
                  run_mib_(IDEAL_NT, size), run_mib_(IDEAL_IS, size), run_mib_(DIRECT, size),
                  first_ms_(BRIDGE_NT, size), first_ms_(BRIDGE_IS, size), first_ms_(IDEAL_NT, size),
                  first_ms_(IDEAL_IS, size), stream_ratio_(size));
    }

    double direct_over_ideal = 1e300;
    for (const std::uint32_t size : o_.sizes) {
      const double best = std::max(scan_median_(IDEAL_NT, size), scan_median_(IDEAL_IS, size));
      if (best > 0) {
        direct_over_ideal = std::min(direct_over_ideal, scan_median_(DIRECT, size) / best);
      }
    }
    const double scanner_busy = busiest_(&path_figures::scanner_busy);
    const double driver_busy = busiest_(&path_figures::driver_busy);
    // Threads that wait most of the time for the relay cannot be what limits
    // it; at large blocks every path nears the machine's loopback copy rate,
    // so the direct stream's lead narrows there by nature.
    const bool harness_clear = scanner_busy < 0.7 && driver_busy < 0.7;
    std::printf(
        "\nscanner check: in the relay runs the scanner thread was busy at most %.0f%% and\n"
        "the driver thread at most %.0f%% of a scan's time (CPU time / wall time, median per\n"
        "block size), and the direct stream ran at %.1fx the faster ideal relay or more:\n"
        "%s\n",
        100 * scanner_busy, 100 * driver_busy, direct_over_ideal,
        harness_clear ? "the harness is not what limits the relays"
                      : "the harness came close to its limit (a busy machine?), so the ratios\n"
                        "are less certain than usual");

    double rtt_ratio = 0;
    if (o_.round_trips > 0) {
      std::printf(
          "\ncommand round trips per second (ESC @, answered at once): median of %d runs\n"
          "of up to %llu commands or %.2f s; ratio as for the scans\n\n",
          o_.repeats, static_cast<unsigned long long>(o_.round_trips), o_.max_seconds);
      std::printf("%-8s %10s %10s %8s %12s\n", "variant", "bridge", "ideal", "ratio",
                  "bridge runs");
      const double nt = paired_ratio(rtt_[BRIDGE_NT], rtt_[IDEAL_NT]);
      const double is = paired_ratio(rtt_[BRIDGE_IS], rtt_[IDEAL_IS]);
      std::printf("%-8s %10.0f %10.0f %8.2f %12.0f\n", "NT", median(rtt_[BRIDGE_NT]),
                  median(rtt_[IDEAL_NT]), nt, median(rtt_count_[BRIDGE_NT]));
      std::printf("%-8s %10.0f %10.0f %8.2f %12.0f\n", "IS", median(rtt_[BRIDGE_IS]),
                  median(rtt_[IDEAL_IS]), is, median(rtt_count_[BRIDGE_IS]));
      rtt_ratio = std::min(nt, is);
      std::printf("%-8s %10s %10s %8.2f\n", "worse", "", "", rtt_ratio);
    }

    const double startup = median(startup_ms_);
    if (!startup_ms_.empty()) {
      std::printf(
          "\nbridge start-up to its port line: median %.2f ms (min %.2f, max %.2f) over %zu "
          "starts\n",
          startup, *std::min_element(startup_ms_.begin(), startup_ms_.end()),
          *std::max_element(startup_ms_.begin(), startup_ms_.end()), startup_ms_.size());
    }
    const std::uint32_t largest = o_.sizes.back();
    std::printf("bridge peak resident memory (VmHWM) during the %s-block scans: %.1f MiB\n",
                size_label(largest).c_str(), peak_mib_(largest));
    std::printf("machine load average %s at the end\n", load_average().c_str());

    if (!o_.plot.empty()) plot_();

    // The summary line, always last.
    std::string line = "scanbench:";
    const std::pair<std::uint32_t, const char*> named[] = {
        {1u << 20, "ratio_1m"}, {64u << 10, "ratio_64k"}, {4u << 10, "ratio_4k"}};
    for (const auto& [size, name] : named) {
      if (std::find(o_.sizes.begin(), o_.sizes.end(), size) != o_.sizes.end()) {
        line += std::string(" ") + name + "=" + fmt("%.2f", worse_ratio_(size));
      }
    }
    if (o_.round_trips > 0) line += " rtt_ratio=" + fmt("%.2f", rtt_ratio);
    line += " rss_mib=" + fmt("%.1f", peak_mib_(largest));
    if (!startup_ms_.empty()) line += " startup_ms=" + fmt("%.2f", startup);
    std::printf("\n%s\n", line.c_str());
  }

  void plot_() {
    static const char* const colors[] = {"#c62828", "#ef6c00", "#1565c0", "#26a69a", "#2e7d32"};
    std::vector<plot_series> series;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      plot_series s;
      s.label = paths_[i].direct   ? "direct stream"
                : paths_[i].bridge ? paths_[i].label
                                   : paths_[i].label + " relay";
      s.color = colors[i];
      s.dashed = i == IDEAL_IS;
      for (const std::uint32_t size : o_.sizes) s.values.push_back(scan_median_(i, size));
      series.push_back(s);
    }
    std::string fault;
    const std::string subtitle =
        now_utc() + ", loopback, " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
        " cores; median of " + std::to_string(o_.repeats) + " runs, one ACK per block";
    if (write_throughput_svg(o_.plot, o_.sizes, series, "scanbridge: scan relay throughput",
                             subtitle, &fault)) {
      std::printf("plot written to %s\n", o_.plot.c_str());
    } else {
      std::fprintf(stderr, "scanbench: %s\n", fault.c_str());
    }
  }

  options o_;
  std::vector<path_setup> paths_;
  std::map<std::size_t, path_figures> figures_;
  std::map<std::size_t, std::vector<double>> rtt_;
  std::map<std::size_t, std::vector<double>> rtt_count_;
  std::map<std::size_t, std::map<std::uint32_t, int>> stall_count_;
  std::vector<std::string> stalls_;
  std::vector<double> startup_ms_;
};

}  // namespace

int bench_main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--ideal-relay") return ideal_relay_main();
  options o;
  bool help = false;
  bool version = false;
  std::string error;
  tools::occupy_standard_descriptors();
  parse_options(std::vector<std::string>(argv + 1, argv + argc), &o, &help, &version, &error);
  const int answered =
      tools::answer_command_line("scanbench", SCANBRIDGE_VERSION, error, help, version, usage());
  if (answered >= 0) return answered;
  set_reply_timeout(o.stall_seconds);
  if (o.bridge.empty()) o.bridge = beside_self("scanbridge");
  if (::access(o.bridge.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "scanbench: no executable bridge at %s (use --bridge PATH)\n",
                 o.bridge.c_str());
    return tools::EXIT_USAGE;
  }
  return bench_run(std::move(o)).run();
}

}  // namespace scanbridge::bench

int main(int argc, char** argv) {
  return scanbridge::bench::bench_main(argc, argv);
}
