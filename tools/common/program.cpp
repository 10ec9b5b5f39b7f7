#include "tools/common/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Everything below runs in the child between fork and exec: only
// async-signal-safe calls, and nothing that allocates.
void reset_signals(const std::vector<int>& ignored) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &action, nullptr);
  action.sa_handler = SIG_IGN;
  for (const int s : ignored) ::sigaction(s, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void fail_in_child(int report_fd) {
  const int error = errno;
  (void)!::write(report_fd, &error, sizeof error);
  ::_exit(127);
}

[[noreturn]] void exec_child(const program_start& start, char* const* argv, int out, int err,
                             int report_fd) {
  reset_signals(start.ignored_signals);
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

}  // namespace

bool start_program(const program_start& start, started_program* started, std::string* error) {
  if (start.argv.empty()) {
    *error = "no program named";
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& arg : start.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  unique_fd out_read, out_write, err_read, err_write, report_read, report_write;
  if (!make_pipe(&out_read, &out_write) ||
      (start.capture_stderr && !make_pipe(&err_read, &err_write)) ||
      !make_pipe(&report_read, &report_write)) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }

  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("cannot fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    exec_child(start, argv.data(), out_write.get(), err_write.get(), report_write.get());
  }
  out_write.reset();
  err_write.reset();
  report_write.reset();

  // The report pipe closes on a successful exec; otherwise it carries errno.
  int child_error = 0;
  ssize_t n;
  do {
    n = ::read(report_read.get(), &child_error, sizeof child_error);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof child_error)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *error = std::strerror(child_error);
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
