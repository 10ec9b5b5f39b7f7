#include "bridge/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>

#include "bridge/bridge.h"

namespace scanbridge {

volatile std::sig_atomic_t stop_requested = 0;

void stop_handler(int) { stop_requested = 1; }

void install_stop_handler(int signal) {
  struct sigaction handler {};
  struct sigaction previous {};
  handler.sa_handler = stop_handler;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  sigaction(signal, &handler, &previous);
  if (previous.sa_handler == SIG_IGN) sigaction(signal, &previous, nullptr);
}

namespace {

// A descriptor of 0 counts as "no socket" in the endpoint, so a socket must
// never land on 0, 1 or 2. Whichever of them the parent left closed is opened
// on /dev/null; open() takes the lowest free descriptor, which is that one.
void occupy_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (open("/dev/null", O_RDWR) < 0) return;
    }
  }
}

void announce(int port) {
  std::printf("%d\n", port);
  std::fflush(stdout);
}

}  // namespace

int bridge_main() {
  occupy_standard_descriptors();
  install_stop_handler(SIGTERM);
  install_stop_handler(SIGINT);
  install_stop_handler(SIGHUP);
  prctl(PR_SET_PDEATHSIG, SIGHUP);

  std::unique_ptr<bridge> b;
  bool announced = false;
  try {
    b = std::make_unique<bridge>();
    announce(b->port());
    announced = true;
    b->run();
    b.reset();
    return 0;
  } catch (const std::exception& e) {
    b.reset();
    std::fprintf(stderr, "%s\n", e.what());
    std::fflush(stderr);
  } catch (...) {
    b.reset();
  }
  if (!announced) announce(-1);
  return 1;
}

}  // namespace scanbridge
