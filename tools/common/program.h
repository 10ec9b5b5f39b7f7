// SPDX-License-Identifier: MIT
// Other programs as child processes, the way a driver starts the bridge: the
// tools, the benchmark and the tests start the bridge, the emulator and the
// client through this one piece.
#ifndef SCANBRIDGE_TOOLS_COMMON_PROGRAM_H_
#define SCANBRIDGE_TOOLS_COMMON_PROGRAM_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tools/common/unique_fd.h"

namespace scanbridge::tools {

struct program_start {
  // argv[0] is the path of the executable; no search along PATH.
  std::vector<std::string> argv;
  // The child's standard error on a pipe; otherwise it shares the caller's.
  bool capture_stderr = false;
  // Descriptor 0 closed in the child; otherwise it reads /dev/null.
  bool close_stdin = false;
  // A process group of its own, so that the terminal's Ctrl-C reaches only
  // the caller, which then decides how the child ends.
  bool own_process_group = false;
  // The child starts with every signal at its default disposition and none
  // blocked, whatever the caller inherited, except these, which it inherits
  // as ignored.
  std::vector<int> ignored_signals;
};

struct started_program {
  pid_t pid = -1;
  unique_fd out;  // read end of the child's standard output
  unique_fd err;  // read end of its standard error, when captured
};

// Starts the program, with posix_spawn unless signals are to start ignored.
// False, with the system's reason in *error ("No such file or directory"),
// when it could not be executed. The pipe ends are closed on exec, so no
// later child inherits them.
bool start_program(const program_start& start, started_program* started, std::string* error);

// How a process ended, from its wait status: "exited with status 1", "was
// killed by signal 9 (Killed)".
std::string describe_wait_status(int status);

// Opens whichever of descriptors 0, 1 and 2 the caller left closed, read-only
// on /dev/null, before anything else takes their numbers: a socket that
// became descriptor 1 would take what the tool writes to standard output.
// Writing to such a descriptor fails as writing to a closed one does.
void occupy_standard_descriptors();

// The path of the running executable, and its directory without a trailing
// slash; empty when the system does not tell.
std::string executable_path();
std::string executable_dir();

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_PROGRAM_H_
