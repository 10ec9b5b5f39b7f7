// SPDX-License-Identifier: MIT
// chaos: the bridge against hostile scanners and a misbehaving driver, in
// seeded scenarios, until the time is up.
//
//   build/chaos --seconds 60 [--seed S]    run scenarios for a minute
//   build/chaos --replay FILE              run the scenario a violation wrote
//
// Prints the injected faults by kind, then one line
//   chaos: scenarios=N steps=N faults=N violations=N seed=S
// and exits 1 on any violation, after writing the first violating scenario
// to the replay file.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>

#include "bridge/process.h"
#include "chaos/scenario.h"
#include "net/wake.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer's runtime; its headers are not always installed.
extern "C" void __sanitizer_set_death_callback(void (*callback)());
#endif

namespace {

using namespace scanbridge::chaos;

constexpr const char* USAGE =
    "Usage: chaos [--seconds N] [--seed S] [--margin MS] [--out FILE] [--verbose]\n"
    "       chaos --replay FILE [--verbose]\n"
    "Runs the bridge against hostile scanners and a misbehaving driver in seeded\n"
    "scenarios for N seconds (default 10) and checks its bounds after every step.\n"
    "The first scenario with a violation is written to FILE (default\n"
    "chaos-replay.txt); --replay runs it again.\n";

// The heap may hold this much more after a scenario than after the first one
// (the allocator's own caches); a leak per scenario soon passes it.
constexpr std::size_t HEAP_SLACK = 1 << 20;

struct options {
  int seconds = 10;
  std::uint64_t seed = 0;
  bool seed_given = false;
  std::string replay;
  std::string out = "chaos-replay.txt";
  bool verbose = false;
  limits lim;
};

std::atomic<std::uint64_t> current_seed{0};
const options* active = nullptr;
volatile std::sig_atomic_t quit = 0;

// Stop signals that the harness sends the bridge's thread reach the bridge's
// own handler; one from outside (a Ctrl-C) also ends the run after the
// scenario in hand.
void on_signal(int sig, siginfo_t* info, void*) {
  if (info->si_code != SI_TKILL || info->si_pid != getpid()) quit = 1;
  scanbridge::stop_handler(sig);
}

void install_handlers() {
  struct sigaction a {};
  a.sa_sigaction = on_signal;
  a.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&a.sa_mask);
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaction(sig, &a, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void write_replay(const std::string& path, std::uint64_t seed, const limits& lim,
                  const scenario_result* result) {
  std::ofstream out(path);
  out << "# chaos scenario; rerun with: chaos --replay " << path << "\n"
      << "seed=" << seed << "\nmargin=" << lim.margin_ms << "\n";
  if (result != nullptr) {
    for (const std::string& line : result->record) out << "# " << line << "\n";
  }
}

#if defined(__SANITIZE_ADDRESS__)
void on_sanitizer_report() {
  if (active != nullptr) write_replay(active->out, current_seed, active->lim, nullptr);
}
#endif

bool parse(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--verbose") {
      o->verbose = true;
    } else if (arg == "--seconds" && has_value) {
      o->seconds = std::atoi(argv[++i]);
    } else if (arg == "--seed" && has_value) {
      o->seed = std::strtoull(argv[++i], nullptr, 0);
      o->seed_given = true;
    } else if (arg == "--margin" && has_value) {
      o->lim.margin_ms = std::atoi(argv[++i]);
    } else if (arg == "--out" && has_value) {
      o->out = argv[++i];
    } else if (arg == "--replay" && has_value) {
      o->replay = argv[++i];
    } else {
      return false;
    }
  }
  return o->seconds > 0 && o->lim.margin_ms > 0;
}

bool read_replay(options* o) {
  std::ifstream in(o->replay);
  if (!in) return false;
  std::string line;
  bool seed = false;
  while (std::getline(in, line)) {
    if (line.rfind("seed=", 0) == 0) {
      o->seed = std::strtoull(line.c_str() + 5, nullptr, 10);
      seed = true;
    } else if (line.rfind("margin=", 0) == 0) {
      o->lim.margin_ms = std::atoi(line.c_str() + 7);
    }
  }
  return seed;
}

void print_record(const scenario_result& r) {
  for (const std::string& line : r.record) std::printf("  %s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse(argc, argv, &o)) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  if (!o.replay.empty() && !read_replay(&o)) {
    std::fprintf(stderr, "chaos: no scenario in %s\n", o.replay.c_str());
    return 2;
  }
  if (!o.seed_given && o.replay.empty()) o.seed = static_cast<std::uint64_t>(std::time(nullptr));
  active = &o;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_set_death_callback(on_sanitizer_report);
#endif
  // One arena for every thread, so that the heap figure covers the bridge.
  mallopt(M_ARENA_MAX, 1);
  install_handlers();
  if (!scanbridge::open_wake()) {
    std::fputs("chaos: no eventfd\n", stderr);
    return 2;
  }

  long scenarios = 0;
  long steps = 0;
  long violations = 0;
  int baseline_fds = 0;
  std::size_t heap_baseline = 0;
  const std::int64_t started = now_ms();
  const std::int64_t until = started + static_cast<std::int64_t>(o.seconds) * 1000;
  for (std::uint64_t i = 0; !quit; ++i) {
    const std::uint64_t seed = o.replay.empty() ? derive(o.seed, i) : o.seed;
    current_seed = seed;
    scenario_result r;
    try {
      r = run_scenario(seed, o.lim, &baseline_fds);
    } catch (const std::exception& e) {
      // The bridge's thread cannot be joined: record what is known and go.
      std::printf("chaos: violation in scenario seed=%llu: %s\n",
                  static_cast<unsigned long long>(seed), e.what());
      write_replay(o.out, seed, o.lim, nullptr);
      std::fflush(stdout);
      std::_Exit(1);
    }
    // The next scenario starts with no stop behind it.
    scanbridge::stop_requested = 0;
    scanbridge::hangup_requested = 0;
    scanbridge::clear_wake();
    ++scenarios;
    steps += r.steps;
    const std::size_t heap = scanbridge::chaos::heap_in_use();
    if (i == 0) {
      heap_baseline = heap;
    } else if (heap > heap_baseline + HEAP_SLACK) {
      r.violations.push_back("the heap holds " + std::to_string(heap) + " bytes, " +
                             std::to_string(heap_baseline) + " after the first scenario");
    }
    if (o.verbose || !o.replay.empty()) {
      std::printf("scenario seed=%llu: %d steps\n", static_cast<unsigned long long>(seed), r.steps);
      print_record(r);
    }
    for (const std::string& v : r.violations) {
      std::printf("chaos: violation at %.1f s in scenario seed=%llu: %s\n",
                  static_cast<double>(now_ms() - started) / 1000,
                  static_cast<unsigned long long>(seed), v.c_str());
    }
    if (!r.violations.empty() && violations == 0 && o.replay.empty()) {
      write_replay(o.out, seed, o.lim, &r);
      std::printf("chaos: the scenario is in %s\n", o.out.c_str());
    }
    violations += static_cast<long>(r.violations.size());
    std::fflush(stdout);
    if (!o.replay.empty() || now_ms() >= until) break;
  }

  long faults = 0;
  std::printf("faults by kind:\n");
  for (const auto& [kind, count] : fault_counts()) {
    std::printf("  %8ld  %s\n", count, kind.c_str());
    faults += count;
  }
  std::printf("chaos: scenarios=%ld steps=%ld faults=%ld violations=%ld seed=%llu\n", scenarios,
              steps, faults, violations, static_cast<unsigned long long>(o.seed));
  return violations == 0 ? 0 : 1;
}
