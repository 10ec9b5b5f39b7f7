// SPDX-License-Identifier: MIT
#include "fuzz/support/check.h"

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

namespace scanbridge::fuzz {

void check_failed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}

void check_readable(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0) return;
  FUZZ_CHECK(bytes != nullptr);
  // The shadow memory says at once whether any byte of the range lies
  // outside a live allocation, without reading the bytes one by one.
  const void* bad = __asan_region_is_poisoned(const_cast<std::uint8_t*>(bytes), length);
  if (bad != nullptr) {
    std::fprintf(stderr, "chunk of %zu bytes at %p: byte %zu is not readable\n", length,
                 static_cast<const void*>(bytes),
                 static_cast<std::size_t>(static_cast<const std::uint8_t*>(bad) - bytes));
    // Reading the first bad byte makes AddressSanitizer report it, with the
    // stack that allocated the array.
    const volatile std::uint8_t first_bad = *static_cast<const volatile std::uint8_t*>(bad);
    static_cast<void>(first_bad);
    std::abort();
  }
}

bool is_request_error(const std::logic_error& e) {
  if (typeid(e) != typeid(std::logic_error)) return false;
  const char* text = e.what();
  return std::strcmp(text, "bad request size") == 0 || std::strcmp(text, "bad size spec") == 0 ||
         std::strcmp(text, "bad size digit") == 0;
}

}  // namespace scanbridge::fuzz
