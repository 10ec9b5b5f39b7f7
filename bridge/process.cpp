// SPDX-License-Identifier: MIT
#include "bridge/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>

#include "bridge/bridge.h"
#include "bridge/confine.h"
#include "net/wake.h"

namespace scanbridge {

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t hangup_requested = 0;

void stop_handler(int signal) {
  stop_requested = 1;
  if (signal == SIGHUP) hangup_requested = 1;
  wake_waits();
}

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

// The kernel sends SIGHUP when the parent ends. A parent that ended before
// the request was made sends nothing, so that case is checked by hand: the
// bridge has been handed to another process then.
void ask_for_sighup_when_parent_dies() {
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGHUP);
  if (getppid() != parent) {
    struct sigaction current {};
    sigaction(SIGHUP, nullptr, &current);
    if (current.sa_handler == stop_handler) stop_handler(SIGHUP);
  }
}

void announce(int port) {
  std::printf("%d\n", port);
  std::fflush(stdout);
}

}  // namespace

int bridge_main() {
  occupy_standard_descriptors();
  if (!open_wake()) {
    // The bridge still works, but a stop then takes effect only when the
    // wait in progress ends.
    std::fputs("ERROR: eventfd failed\n", stderr);
    std::fflush(stderr);
  }
  install_stop_handler(SIGTERM);
  install_stop_handler(SIGINT);
  install_stop_handler(SIGHUP);
  ask_for_sighup_when_parent_dies();

  std::unique_ptr<bridge> b;
  bool announced = false;
  try {
    b = std::make_unique<bridge>();
    // The listening socket is bound and no peer has sent a byte yet: from
    // here on the bridge runs with only what it needs (bridge/confine.h).
    confine();
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
