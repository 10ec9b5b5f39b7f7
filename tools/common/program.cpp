// SPDX-License-Identifier: MIT
#include "tools/common/program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace scanbridge::tools {

namespace {

// A pipe whose ends are closed on exec and lie above the standard
// descriptors, so that moving the child's ends onto 0, 1 and 2 never
// overwrites another of them, even in a caller that runs with 0-2 closed.
bool make_pipe(unique_fd* read_end, unique_fd* write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int& fd : fds) {
    if (fd > STDERR_FILENO) continue;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    fd = moved;
  }
  read_end->reset(fds[0]);
  write_end->reset(fds[1]);
  return fds[0] >= 0 && fds[1] >= 0;
}

// Frees the spawn attributes and file actions on every path.
struct spawn_setup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  spawn_setup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~spawn_setup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;
};

// The usual way: posix_spawn, which glibc does with a vfork-like clone, so
// the start costs the same however large the caller is (the benchmark times
// it). Returns 0 or the error of the start, the exec's included.
int spawn_child(const program_start& start, char* const* argv, int out, int err, pid_t* pid) {
  spawn_setup setup;
  if (start.close_stdin) {
    posix_spawn_file_actions_addclose(&setup.actions, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&setup.actions, out, STDOUT_FILENO);
  if (err >= 0) posix_spawn_file_actions_adddup2(&setup.actions, err, STDERR_FILENO);
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (start.own_process_group) {
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
  }
  posix_spawnattr_setflags(&setup.attributes, flags);
  return ::posix_spawn(pid, argv[0], &setup.actions, &setup.attributes, argv, environ);
}

// Between fork and exec: only async-signal-safe calls, nothing that
// allocates. A failure goes to report_fd as the errno value.
[[noreturn]] void fail_in_child(int report_fd) {
  const int error = errno;
  (void)!::write(report_fd, &error, sizeof error);
  ::_exit(127);
}

[[noreturn]] void exec_child(const program_start& start, char* const* argv, int out, int err,
                             int report_fd) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &action, nullptr);
  action.sa_handler = SIG_IGN;
  for (const int s : start.ignored_signals) ::sigaction(s, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (start.own_process_group && ::setpgid(0, 0) != 0) fail_in_child(report_fd);
  if (start.close_stdin) {
    ::close(STDIN_FILENO);
  } else {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0) fail_in_child(report_fd);
  }
  if (::dup2(out, STDOUT_FILENO) < 0) fail_in_child(report_fd);
  if (err >= 0 && ::dup2(err, STDERR_FILENO) < 0) fail_in_child(report_fd);
  ::execv(argv[0], argv);
  fail_in_child(report_fd);
}

// Signals that are to start ignored need fork and exec: posix_spawn can
// only set them to their default. The exec's error comes back through a
// pipe that the exec closes.
int fork_child(const program_start& start, char* const* argv, int out, int err, pid_t* pid) {
  unique_fd report_read, report_write;
  if (!make_pipe(&report_read, &report_write)) return errno;
  *pid = ::fork();
  if (*pid < 0) return errno;
  if (*pid == 0) exec_child(start, argv, out, err, report_write.get());
  report_write.reset();
  int child_error = 0;
  ssize_t n;
  do {
    n = ::read(report_read.get(), &child_error, sizeof child_error);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof child_error)) return 0;
  int status = 0;
  while (::waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
  }
  return child_error;
}

}  // namespace

bool start_program(const program_start& start, started_program* started, std::string* error) {
  if (start.argv.empty()) {
    *error = "no program named";
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& arg : start.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  unique_fd out_read, out_write, err_read, err_write;
  if (!make_pipe(&out_read, &out_write) ||
      (start.capture_stderr && !make_pipe(&err_read, &err_write))) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  pid_t pid = -1;
  const int failure = start.ignored_signals.empty()
                          ? spawn_child(start, argv.data(), out_write.get(), err_write.get(), &pid)
                          : fork_child(start, argv.data(), out_write.get(), err_write.get(), &pid);
  if (failure != 0) {
    *error = std::strerror(failure);
    return false;
  }
  started->pid = pid;
  started->out = std::move(out_read);
  started->err = std::move(err_read);
  return true;
}

std::string describe_wait_status(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    return "was killed by signal " + std::to_string(sig) + " (" + ::strsignal(sig) + ")";
  }
  return "ended";
}

void occupy_standard_descriptors() {
  // open() takes the lowest free descriptor, which is the closed one.
  for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDONLY) < 0) return;
  }
}

std::string executable_path() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string executable_dir() {
  const std::string path = executable_path();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace scanbridge::tools
