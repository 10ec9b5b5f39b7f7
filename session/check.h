// SPDX-License-Identifier: MIT
// Invariants that only a programming error can break. Unlike assert(), the
// check stays in release builds: a broken invariant stops the process with a
// message naming the condition instead of corrupting what goes on the wire.
#ifndef SCANBRIDGE_SESSION_CHECK_H_
#define SCANBRIDGE_SESSION_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define SB_CHECK(condition)                                                           \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: assertion failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

#endif  // SCANBRIDGE_SESSION_CHECK_H_
