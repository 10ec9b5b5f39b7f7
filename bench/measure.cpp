// SPDX-License-Identifier: MIT
#include "bench/measure.h"

#include <memory>

#include "bench/driver.h"
#include "bench/relay_process.h"
#include "bench/scanner_sim.h"
#include "bench/socket.h"

namespace scanbridge::bench {

namespace {

constexpr int EXIT_TIMEOUT_MS = 5'000;

// The first fault of a measurement names the party it comes from.
void note(std::string* fault, const std::string& party, const std::string& text) {
  if (fault->empty() && !text.empty()) *fault = party + text;
}

// Ends a relay session as a driver does: CLOSE, then the stop signal and the
// end of the link; the relay must then exit with status 0.
void stop_relay(relay_process& relay, driver_link& link, std::uint32_t id, std::string* fault) {
  link.close_device(id);
  relay.request_stop();
  link.disconnect();
  note(fault, "relay ", relay.wait_exit(EXIT_TIMEOUT_MS));
}

// Starts the relay and the scanner and opens the device; false (with
// *fault set) when any step fails.
bool open_session(relay_process& relay, scanner_sim& scanner, std::unique_ptr<driver_link>& link,
                  std::uint32_t* id, std::string* fault) {
  if (!scanner.listening()) {
    *fault = "scanner: cannot listen";
    return false;
  }
  if (relay.port() < 0) {
    *fault = relay.fault();
    return false;
  }
  scanner.start();
  link = std::make_unique<driver_link>(relay.port());
  if (!link->connected()) {
    *fault = "driver: cannot connect to the relay";
    return false;
  }
  return link->open_device(scanner.uri(), id, fault);
}

// The figures of a finished scan; a scan cut short leaves the scanner with
// a write that fails, which is then no fault.
void take_scan(const scan_result& r, scan_measurement* m) {
  m->stalled = r.stalled;
  if (!r.stalled) note(&m->fault, "driver: ", r.fault);
  if (!m->fault.empty() || r.seconds <= 0) return;
  m->mb_per_s = static_cast<double>(r.bytes) / r.seconds / 1e6;
  m->mib = static_cast<double>(r.bytes) / (1024.0 * 1024.0);
  m->first_block_ms = r.first_block_seconds * 1e3;
  if (r.blocks > 1 && r.seconds > r.first_block_seconds) {
    m->stream_mb_per_s = static_cast<double>(r.bytes - r.first_block_bytes) /
                         (r.seconds - r.first_block_seconds) / 1e6;
  }
  m->driver_busy = r.busy;
  m->cut_short = r.cut_short;
}

void take_scanner_fault(scanner_sim& scanner, scan_measurement* m) {
  const std::string fault = scanner.finish();
  m->scanner_busy = scanner.busy();
  if (!m->cut_short && !m->stalled) note(&m->fault, "", fault);
}

}  // namespace

scan_measurement measure_relay_scan(const command_line& relay_command, variant v,
                                    const scan_shape& shape, bool verify, double max_seconds) {
  scan_measurement m;
  // Declared in this order so that, on a failure, the link closes first, then
  // the relay is killed, and only then is the scanner thread joined.
  scanner_sim scanner(v, shape);
  relay_process relay(relay_command);
  std::unique_ptr<driver_link> link;
  std::uint32_t id = 0;
  if (!open_session(relay, scanner, link, &id, &m.fault)) return m;

  const scan_result r = link->scan(id, shape, verify, max_seconds);
  m.peak_rss_kib = relay.peak_rss_kib();
  take_scan(r, &m);
  if (m.stalled) {
    // Where the relay sits tells why; it is then killed, not stopped.
    m.stall = r.fault + ", the relay blocked in " + relay.blocked_call();
    return m;
  }
  stop_relay(relay, *link, id, &m.fault);
  take_scanner_fault(scanner, &m);
  return m;
}

scan_measurement measure_direct_scan(const scan_shape& shape, bool verify, double max_seconds) {
  scan_measurement m;
  scanner_sim scanner(variant::nt, shape);
  if (!scanner.listening()) {
    m.fault = "scanner: cannot listen";
    return m;
  }
  scanner.start();
  take_scan(direct_scan(scanner.port(), shape, verify, max_seconds), &m);
  take_scanner_fault(scanner, &m);
  return m;
}

rate_measurement measure_round_trips(const command_line& relay_command, variant v,
                                     std::uint64_t count, double max_seconds) {
  rate_measurement m;
  scanner_sim scanner(v, shape_for(4096, 8192));
  relay_process relay(relay_command);
  std::unique_ptr<driver_link> link;
  std::uint32_t id = 0;
  if (!open_session(relay, scanner, link, &id, &m.fault)) return m;

  const round_trip_result warm_up = link->round_trips(id, count / 10 + 1, max_seconds / 10);
  note(&m.fault, "driver: ", warm_up.fault);
  if (m.fault.empty()) {
    const round_trip_result r = link->round_trips(id, count, max_seconds);
    note(&m.fault, "driver: ", r.fault);
    if (r.fault.empty() && r.seconds > 0) {
      m.count = r.count;
      m.per_second = static_cast<double>(r.count) / r.seconds;
    }
  }
  stop_relay(relay, *link, id, &m.fault);
  note(&m.fault, "", scanner.finish());
  return m;
}

startup_measurement measure_startup(const command_line& relay_command) {
  startup_measurement m;
  relay_process relay(relay_command);
  if (relay.port() < 0) {
    m.fault = relay.fault();
    return m;
  }
  m.milliseconds = relay.startup_seconds() * 1e3;
  // Stopped as a driver would: the stop request, then a link that ends at
  // once (the relay is waiting for its first driver).
  relay.request_stop();
  unique_fd poke = connect_loopback(relay.port());
  poke.reset();
  note(&m.fault, "relay ", relay.wait_exit(EXIT_TIMEOUT_MS));
  return m;
}

}  // namespace scanbridge::bench
