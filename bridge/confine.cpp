// SPDX-License-Identifier: MIT
#include "bridge/confine.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace scanbridge {

namespace {

// ---------------------------------------------------------------------------
// The system-call filter

// The architecture whose system-call table the filter is written for: that
// of the build. Where it is not known here, no filter is installed.
#if defined(__x86_64__) && !defined(__ILP32__)
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__i386__)
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_I386
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__) && !defined(__ARMEB__)
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_ARM
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_PPC64LE
#elif defined(__powerpc64__)
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_PPC64
#elif defined(__s390x__)
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_S390X
#elif defined(__riscv) && __riscv_xlen == 64
#define SCANBRIDGE_AUDIT_ARCH AUDIT_ARCH_RISCV64
#endif

#ifdef SCANBRIDGE_AUDIT_ARCH

// The new-thread flag of clone. It sits in the low 32 bits of the flags
// argument.
constexpr std::uint32_t THREAD_FLAG = 0x00010000;  // CLONE_THREAD

// Which argument of clone holds the flags: s390 passes the new stack first.
#if defined(__s390__)
constexpr std::size_t CLONE_FLAGS_ARGUMENT = 1;
#else
constexpr std::size_t CLONE_FLAGS_ARGUMENT = 0;
#endif

// The filter reads 32-bit words; the low word of a 64-bit argument comes
// second on a big-endian machine.
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr std::size_t LOW_WORD = 4;
#else
constexpr std::size_t LOW_WORD = 0;
#endif

// The system calls the bridge never makes, refused with EPERM. Each one only
// where the architecture has it.
const std::vector<long>& refused_calls() {
  static const std::vector<long> calls = {
  // Program execution and new processes (clone is judged by its flags).
#ifdef __NR_execve
      __NR_execve,
#endif
#ifdef __NR_execveat
      __NR_execveat,
#endif
#ifdef __NR_fork
      __NR_fork,
#endif
#ifdef __NR_vfork
      __NR_vfork,
#endif
  // Tracing and another process's memory or descriptors.
#ifdef __NR_ptrace
      __NR_ptrace,
#endif
#ifdef __NR_process_vm_readv
      __NR_process_vm_readv,
#endif
#ifdef __NR_process_vm_writev
      __NR_process_vm_writev,
#endif
#ifdef __NR_pidfd_getfd
      __NR_pidfd_getfd,
#endif
  // Mounts.
#ifdef __NR_mount
      __NR_mount,
#endif
#ifdef __NR_umount
      __NR_umount,
#endif
#ifdef __NR_umount2
      __NR_umount2,
#endif
#ifdef __NR_pivot_root
      __NR_pivot_root,
#endif
#ifdef __NR_open_tree
      __NR_open_tree,
#endif
#ifdef __NR_move_mount
      __NR_move_mount,
#endif
#ifdef __NR_fsopen
      __NR_fsopen,
#endif
#ifdef __NR_fsconfig
      __NR_fsconfig,
#endif
#ifdef __NR_fsmount
      __NR_fsmount,
#endif
#ifdef __NR_fspick
      __NR_fspick,
#endif
#ifdef __NR_mount_setattr
      __NR_mount_setattr,
#endif
  // Kernel modules and kexec.
#ifdef __NR_init_module
      __NR_init_module,
#endif
#ifdef __NR_finit_module
      __NR_finit_module,
#endif
#ifdef __NR_delete_module
      __NR_delete_module,
#endif
#ifdef __NR_kexec_load
      __NR_kexec_load,
#endif
#ifdef __NR_kexec_file_load
      __NR_kexec_file_load,
#endif
  // Kernel programs, performance counters, keyrings, user-space faults.
#ifdef __NR_bpf
      __NR_bpf,
#endif
#ifdef __NR_perf_event_open
      __NR_perf_event_open,
#endif
#ifdef __NR_add_key
      __NR_add_key,
#endif
#ifdef __NR_request_key
      __NR_request_key,
#endif
#ifdef __NR_keyctl
      __NR_keyctl,
#endif
#ifdef __NR_userfaultfd
      __NR_userfaultfd,
#endif
  };
  return calls;
}

sock_filter statement(std::uint16_t code, std::uint32_t k) {
  return BPF_STMT(code, k);
}

sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t if_true, std::uint8_t if_false) {
  return BPF_JUMP(code, k, if_true, if_false);
}

sock_filter load_word(std::size_t offset) {
  return statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offset));
}

sock_filter return_errno(int error) {
  return statement(BPF_RET | BPF_K,
                   SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA));
}

// The filter program. Every rule is a test followed by its answer, so that
// no jump has to reach further than the next few instructions; a call that
// no rule answers is allowed.
std::vector<sock_filter> filter_program() {
  std::vector<sock_filter> program;
  // Another architecture's table (a 32-bit call on a 64-bit kernel, say)
  // would give the numbers below other meanings: refused whole.
  program.push_back(load_word(offsetof(seccomp_data, arch)));
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SCANBRIDGE_AUDIT_ARCH, 1, 0));
  program.push_back(return_errno(EPERM));
  program.push_back(load_word(offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  // The x32 calls share the architecture value and set this bit.
  program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1));
  program.push_back(return_errno(EPERM));
#endif
  for (const long call : refused_calls()) {
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1));
    program.push_back(return_errno(EPERM));
  }
#ifdef __NR_clone3
  // clone3 passes its flags in memory, which a filter cannot read. ENOSYS
  // makes the C library use clone instead, whose flags it can.
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1));
  program.push_back(return_errno(ENOSYS));
#endif
#ifdef __NR_clone
  // A new thread is allowed (the C library's resolver may start one); a new
  // process is not.
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3));
  program.push_back(load_word(offsetof(seccomp_data, args) +
                              CLONE_FLAGS_ARGUMENT * sizeof(std::uint64_t) + LOW_WORD));
  program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, THREAD_FLAG, 1, 0));
  program.push_back(return_errno(EPERM));
#endif
  program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return program;
}

bool install_filter() {
  std::vector<sock_filter> program = filter_program();
  sock_fprog fprog{};
  fprog.len = static_cast<unsigned short>(program.size());
  fprog.filter = program.data();
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) == 0;
}

#else  // no filter for this architecture

bool install_filter() {
  return false;
}

#endif  // SCANBRIDGE_AUDIT_ARCH

// ---------------------------------------------------------------------------
// Landlock

// The kernel's interface (linux/landlock.h), spelled out here so that the
// bridge builds against older headers too. A ruleset attribute may be given
// shorter than the kernel's structure; the first field is all that is used.
struct ruleset_attributes {
  std::uint64_t handled_access_fs;
};
constexpr unsigned CREATE_RULESET_VERSION = 1U << 0;

// Every right to change the file system or run a program from it, by the
// Landlock ABI version that introduced it. Reading files and directories is
// not among them.
constexpr std::uint64_t WRITE_RIGHTS_ABI_1 = (1ULL << 0)      // execute
                                             | (1ULL << 1)    // write to a file
                                             | (1ULL << 4)    // remove a directory
                                             | (1ULL << 5)    // remove a file
                                             | (1ULL << 6)    // make a character device
                                             | (1ULL << 7)    // make a directory
                                             | (1ULL << 8)    // make a regular file
                                             | (1ULL << 9)    // make a socket
                                             | (1ULL << 10)   // make a FIFO
                                             | (1ULL << 11)   // make a block device
                                             | (1ULL << 12);  // make a symbolic link
constexpr std::uint64_t REFER_RIGHT = 1ULL << 13;             // ABI 2: link or rename elsewhere
constexpr std::uint64_t TRUNCATE_RIGHT = 1ULL << 14;          // ABI 3: truncate

bool restrict_file_system() {
#if defined(__NR_landlock_create_ruleset) && defined(__NR_landlock_restrict_self)
  const long abi = syscall(__NR_landlock_create_ruleset, nullptr, 0, CREATE_RULESET_VERSION);
  if (abi < 1) return false;
  ruleset_attributes attributes{WRITE_RIGHTS_ABI_1};
  if (abi >= 2) attributes.handled_access_fs |= REFER_RIGHT;
  if (abi >= 3) attributes.handled_access_fs |= TRUNCATE_RIGHT;
  // No rule is added: every handled right is denied beneath every path.
  const long ruleset = syscall(__NR_landlock_create_ruleset, &attributes, sizeof attributes, 0);
  if (ruleset < 0) return false;
  const bool restricted = syscall(__NR_landlock_restrict_self, ruleset, 0) == 0;
  close(static_cast<int>(ruleset));
  return restricted;
#else
  return false;
#endif
}

}  // namespace

confinement confine(bool filter_system_calls) {
  confinement applied;
  // Both the filter and Landlock need it from a process without
  // CAP_SYS_ADMIN.
  applied.no_new_privileges = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  applied.landlock = restrict_file_system();
  if (filter_system_calls) applied.system_call_filter = install_filter();
  return applied;
}

}  // namespace scanbridge
