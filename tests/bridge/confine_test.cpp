// SPDX-License-Identifier: MIT
// Least privilege: what a confined process can no longer do, tried in a child
// that confines itself as the bridge does, and the marks of the confinement
// on a running bridge.
#include "bridge/confine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_process.h"
#include "tests/support/child_process.h"

namespace scanbridge {
namespace {

using testing::child_process;
using testing::exited;

// The child's exit status when confine() could not apply what a case needs
// (a kernel without Landlock; qemu-user, which refuses seccomp filters).
constexpr int NOT_APPLIED = 200;

// errno of a call that returned -1, else 0.
int outcome(long result) {
  return result == -1 ? errno : 0;
}

// 0 when the name resolves, else ENOENT.
int look_up(const char* name) {
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(name, nullptr, nullptr, &found);
  if (found != nullptr) ::freeaddrinfo(found);
  return result == 0 ? 0 : ENOENT;
}

struct forbidden_case {
  const char* name;
  int expected;         // errno of the attempt; 0: it must work
  bool needs_landlock;  // answered by Landlock, which a kernel may lack
  std::function<int(const std::string& folder)> attempt;
};

TEST(BridgeConfinement, RefusesWhatTheBridgeNeverDoes) {
  std::string folder = ::testing::TempDir() + "confine_XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const std::string existing = folder + "/existing";
  std::ofstream(existing) << "read me";

  const std::vector<forbidden_case> cases = {
    {"execve", EPERM, false,
     [](const std::string&) {
       char* argv[] = {const_cast<char*>(testing::bridge_binary()), const_cast<char*>("--version"),
                       nullptr};
       return outcome(::execv(argv[0], argv));
     }},
    {"fork", EPERM, false,
     [](const std::string&) {
       const pid_t pid = ::fork();
       if (pid == 0) ::_exit(0);
       if (pid > 0) ::waitpid(pid, nullptr, 0);
       return outcome(pid);
     }},
    {"a new thread (clone3 falls back to clone)", 0, false,
     [](const std::string&) {
       std::thread([] {}).join();
       return 0;
     }},
    {"ptrace", EPERM, false,
     [](const std::string&) { return outcome(::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr)); }},
    {"mount", EPERM, false,
     [](const std::string& f) {
       return outcome(::mount("none", (f + "/absent").c_str(), "tmpfs", 0, nullptr));
     }},
    {"finit_module", EPERM, false,
     [](const std::string&) { return outcome(::syscall(SYS_finit_module, -1, "", 0)); }},
    {"bpf", EPERM, false, [](const std::string&) { return outcome(::syscall(SYS_bpf, -1, 0, 0)); }},
#if defined(__x86_64__)
    {"an x32 system call", EPERM, false,
     [](const std::string&) { return outcome(::syscall(0x40000000 | SYS_getpid)); }},
#endif
    {"open a new file for writing", EACCES, true,
     [](const std::string& f) {
       return outcome(::open((f + "/new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
     }},
    {"open an existing file for writing", EACCES, true,
     [](const std::string& f) {
       return outcome(::open((f + "/existing").c_str(), O_WRONLY | O_CLOEXEC));
     }},
    {"mkdir", EACCES, true,
     [](const std::string& f) { return outcome(::mkdir((f + "/dir").c_str(), 0700)); }},
    {"unlink", EACCES, true,
     [](const std::string& f) { return outcome(::unlink((f + "/existing").c_str())); }},
    {"open a file for reading", 0, true,
     [](const std::string& f) {
       const int fd = ::open((f + "/existing").c_str(), O_RDONLY | O_CLOEXEC);
       if (fd >= 0) ::close(fd);
       return outcome(fd);
     }},
    {"look up a name of /etc/hosts", 0, true,
     [](const std::string&) { return look_up("localhost"); }},
    {"look up a numeric address", 0, false,
     [](const std::string&) { return look_up("127.0.0.1"); }},
    {"look up a name that cannot exist", ENOENT, false,
     [](const std::string&) { return look_up(std::string(64, 'x').append(".invalid").c_str()); }},
  };
  for (const forbidden_case& c : cases) {
    SCOPED_TRACE(c.name);
    child_process child = child_process::fork_running([&] {
      // The filter even in a sanitizer build: this child ends with _exit,
      // and LeakSanitizer never runs.
      const confinement applied = confine(true);
      if (!applied.no_new_privileges || !applied.system_call_filter) return NOT_APPLIED;
      if (c.needs_landlock && !applied.landlock) return NOT_APPLIED;
      return c.attempt(folder);
    });
    const testing::exit_status status = child.wait_exit();
    if (status == exited(NOT_APPLIED)) {
      std::cout << "[ SKIPPED  ] " << c.name
                << ": the confinement it needs is not available here\n";
      continue;
    }
    EXPECT_EQ(status, exited(c.expected)) << "expected errno " << c.expected;
  }
  std::ifstream unchanged(existing);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(unchanged), {}), "read me");
  std::remove(existing.c_str());
  ::rmdir(folder.c_str());
}

// The marks the kernel shows for the bridge once it has announced its port.
TEST(BridgeConfinement, ShowsInProcStatusOfARunningBridge) {
  testing::bridge_process bridge;
  ASSERT_GT(bridge.port(), 0);
  std::ifstream file("/proc/" + std::to_string(bridge.pid()) + "/status");
  std::stringstream status;
  status << file.rdbuf();
  EXPECT_NE(status.str().find("\nNoNewPrivs:\t1\n"), std::string::npos) << status.str();
  const char* seccomp = FILTER_SYSTEM_CALLS ? "\nSeccomp:\t2\n" : "\nSeccomp:\t0\n";
  EXPECT_NE(status.str().find(seccomp), std::string::npos) << status.str();
}

}  // namespace
}  // namespace scanbridge
