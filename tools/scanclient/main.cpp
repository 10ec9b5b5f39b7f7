// scanclient: drives a scanner through the bridge the way a scanner driver
// does, to check a real or emulated scanner.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/scanclient/client.h"
#include "tools/scanclient/options.h"

namespace {

volatile std::sig_atomic_t g_interrupts = 0;

void on_interrupt(int) {
  if (g_interrupts < 100) g_interrupts = g_interrupts + 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace scanbridge::tools;

  const std::vector<std::string> args(argv + 1, argv + argc);
  client_options options;
  std::string error;
  if (!parse_options(args, &options, &error)) {
    std::fprintf(stderr, "scanclient: %s\nTry 'scanclient --help'.\n", error.c_str());
    return EXIT_USAGE;
  }
  if (options.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }

  // No SA_RESTART: a Ctrl-C ends the wait in progress, which then decides.
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  return run_client(options, &g_interrupts);
}
