// SPDX-License-Identifier: MIT
// Least privilege for the bridge: what a compromised bridge can no longer do.
//
// The bridge reads bytes from any scanner on the network and from a port that
// any local process can reach. Once its listening socket is bound, and before
// it reads a single byte from a peer, it gives up what it never needs:
// - new privileges (PR_SET_NO_NEW_PRIVS): no set-user-id program, no file
//   capability can lift it again;
// - a seccomp filter answers EPERM to the system calls it never makes:
//   program execution, new processes, tracing and cross-process memory access,
//   mounts, module loading, kexec, bpf, perf_event_open, keyrings and
//   userfaultfd; clone3 gets ENOSYS, so that the C library falls back to
//   clone, where a new thread is allowed and a new process is not. A system
//   call of another architecture's table (on x86-64 also the x32 numbers) is
//   refused whole;
// - Landlock, where the kernel has it: no file can be written, created,
//   removed, truncated or executed anywhere. Reading stays allowed, because
//   a host-name look-up reads /etc and loads the C library's name-service
//   modules.
// Each is best effort: a kernel without it runs the bridge as before, and
// nothing is printed.
#ifndef SCANBRIDGE_BRIDGE_CONFINE_H_
#define SCANBRIDGE_BRIDGE_CONFINE_H_

namespace scanbridge {

// Whether confine() installs the system-call filter by default. A build with
// AddressSanitizer leaves it out: its LeakSanitizer stops the process at exit
// from a new task made with clone (no CLONE_THREAD) and reads it with ptrace,
// both of which the filter refuses.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool FILTER_SYSTEM_CALLS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool FILTER_SYSTEM_CALLS = false;
#else
inline constexpr bool FILTER_SYSTEM_CALLS = true;
#endif
#else
inline constexpr bool FILTER_SYSTEM_CALLS = true;
#endif

// What confine() put in place; false where the kernel (or the build) lacks it.
struct confinement {
  bool no_new_privileges = false;
  bool system_call_filter = false;
  bool landlock = false;
};

// Applies the restrictions above to the calling process, for good. The
// process should have one thread: the filter and Landlock bind the caller's
// thread and the threads it starts afterwards.
confinement confine(bool filter_system_calls = FILTER_SYSTEM_CALLS);

}  // namespace scanbridge

#endif  // SCANBRIDGE_BRIDGE_CONFINE_H_
