// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstring>

#include "bridge/process.h"

namespace {

constexpr const char* USAGE =
    "Usage: scanbridge\n"
    "       scanbridge --help | --version\n"
    "\n"
    "scanbridge lets a scanner driver use network scanners as if they were\n"
    "attached locally. A driver starts it as a child process; it is not meant\n"
    "to be run by hand. It reads no options, configuration or environment:\n"
    "arguments other than a lone --help or --version are ignored.\n"
    "\n"
    "At start it listens on a TCP port of 127.0.0.1 that the system chooses and\n"
    "prints that port as one decimal line on standard output: \"0\" when no\n"
    "listening socket can be set up (it then keeps trying), \"-1\" when it cannot\n"
    "start at all. The driver connects there and sends framed OPEN, CLOSE and\n"
    "DATA messages; for each device it opens, the bridge keeps one TCP session\n"
    "with the scanner (port 1865 unless the address names another). When the\n"
    "driver disconnects, every device is closed, then the same port listens again.\n"
    "\n"
    "Signals:\n"
    "  SIGHUP           stop now; also sent when the parent process dies\n"
    "  SIGTERM, SIGINT  stop after the client message being waited for or read\n"
    "                   has been served; at any other point, stop now\n"
    "Every open device is closed, in ascending id order, before the exit.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by a signal or by the death of the parent\n"
    "  1  could not start (the port line is \"-1\"), or any fatal error, such as\n"
    "     a malformed extended request; the reason is written to standard error\n"
    "\n"
    "The link protocol is documented in scanbridge(8) and, for driver authors,\n"
    "in docs/protocol.md of the scanbridge documentation.\n";

// Writes text to standard output; false when it could not be written whole
// (a closed pipe, a full disk).
bool print(const char* text) {
  return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
}

}  // namespace

// A driver starts the bridge and may pass it any arguments, which it ignores.
// Only a lone --version or --help, as a person types it, is answered; then
// the bridge exits without listening on anything.
int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    return print("scanbridge " SCANBRIDGE_VERSION "\n") ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return print(USAGE) ? 0 : 1;
  return scanbridge::bridge_main();
}
