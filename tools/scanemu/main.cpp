// SPDX-License-Identifier: MIT
// scanemu: a network scanner emulator for running and testing the bridge
// without hardware. See --help.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/program.h"
#include "tools/scanemu/options.h"
#include "tools/scanemu/server.h"

namespace {

const scanbridge::tools::scanemu::server* g_server = nullptr;

extern "C" void on_signal(int signal) {
  using namespace scanbridge::tools::scanemu;
  if (g_server == nullptr) return;
  switch (signal) {
    case SIGUSR1:
      g_server->post(COMMAND_NOTICE);
      break;
    case SIGUSR2:
      g_server->post(COMMAND_DISCONNECT);
      break;
    default:
      g_server->stop();
      break;
  }
}

void install_handlers() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaction(signal, &action, nullptr);
  // A peer that goes away shows as a failed write, never as a signal.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace scanbridge::tools::scanemu;
  scanbridge::tools::occupy_standard_descriptors();
  const parse_result parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  const int answered = scanbridge::tools::answer_command_line("scanemu", SCANBRIDGE_VERSION,
                                                              parsed.error, parsed.options.help,
                                                              parsed.options.version, help_text());
  if (answered >= 0) return answered;
  server emulator(parsed.options);
  if (!emulator.listen()) return 1;
  g_server = &emulator;
  install_handlers();
  std::printf("%d\n", emulator.port());
  std::fflush(stdout);
  emulator.run();
  g_server = nullptr;
  return 0;
}
