// SPDX-License-Identifier: MIT
// scanclient: drives a scanner through the bridge the way a scanner driver
// does, to check a real or emulated scanner.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/program.h"
#include "tools/scanclient/client.h"
#include "tools/scanclient/image_file.h"
#include "tools/scanclient/options.h"

namespace {

volatile std::sig_atomic_t g_interrupts = 0;

void on_interrupt(int) {
  if (g_interrupts < 100) g_interrupts = g_interrupts + 1;
}

// SIGTERM and SIGHUP end the client as before, but take the image file
// being made with them.
void on_termination(int signal) {
  scanbridge::tools::remove_unfinished_output();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void install_handlers() {
  // No SA_RESTART: a Ctrl-C ends the wait in progress, which then decides.
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = on_termination;
  for (const int signal : {SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    // One that the client inherited ignored stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(signal, &action, nullptr);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace scanbridge::tools;
  occupy_standard_descriptors();
  client_options options;
  std::string error;
  parse_options(std::vector<std::string>(argv + 1, argv + argc), &options, &error);
  const int answered = answer_command_line("scanclient", SCANBRIDGE_VERSION, error, options.help,
                                           options.version, usage_text());
  if (answered >= 0) return answered;
  install_handlers();
  return run_client(options, &g_interrupts);
}
