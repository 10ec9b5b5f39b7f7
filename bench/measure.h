// SPDX-License-Identifier: MIT
// One measurement each: a whole setting up (scanner, relay process, driver
// link), the timed part, and an orderly stop that is checked too.
#ifndef SCANBRIDGE_BENCH_MEASURE_H_
#define SCANBRIDGE_BENCH_MEASURE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bytes.h"
#include "bench/scan_data.h"

namespace scanbridge::bench {

// How to start a relay process: the bridge, or scanbench --ideal-relay.
using command_line = std::vector<std::string>;

struct scan_measurement {
  double mb_per_s = 0;         // data block bytes per second / 10^6
  double mib = 0;              // data block MiB received
  double first_block_ms = 0;   // FS G to the first data block
  double stream_mb_per_s = 0;  // the blocks after the first, from the first on
  double driver_busy = 0;      // CPU time / wall time of the driver thread
  double scanner_busy = 0;     // the same for the scanner thread
  bool cut_short = false;      // the run's time ran out before the scan's end
  bool stalled = false;        // the relay stopped answering: the figures cover the
                               // blocks before that, and stall tells where it sat
  std::string stall;
  std::uint64_t peak_rss_kib = 0;  // the relay's VmHWM after the scan
  std::string fault;
};

struct rate_measurement {
  double per_second = 0;
  std::uint64_t count = 0;  // round trips timed
  std::string fault;
};

struct startup_measurement {
  double milliseconds = 0;
  std::string fault;
};

// A scan through a relay process started from relay, on a scanner of
// variant v, cut short after max_seconds.
scan_measurement measure_relay_scan(const command_line& relay, variant v, const scan_shape& shape,
                                    bool verify, double max_seconds);

// The scanner's NT stream read straight by the driver.
scan_measurement measure_direct_scan(const scan_shape& shape, bool verify, double max_seconds);

// count ESC @ round trips through a relay process, after a short warm-up;
// fewer when max_seconds have gone by first.
rate_measurement measure_round_trips(const command_line& relay, variant v, std::uint64_t count,
                                     double max_seconds);

// One start of the relay to its port line, then an orderly stop.
startup_measurement measure_startup(const command_line& relay);

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_MEASURE_H_
