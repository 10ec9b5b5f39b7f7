// SPDX-License-Identifier: MIT
// Checks of the fuzz targets. A failed check names the condition and aborts,
// which libFuzzer reports as a crash and saves the input that caused it.
#ifndef SCANBRIDGE_FUZZ_SUPPORT_CHECK_H_
#define SCANBRIDGE_FUZZ_SUPPORT_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>

namespace scanbridge::fuzz {

[[noreturn]] void check_failed(const char* file, int line, const char* condition);

// Aborts unless [bytes, bytes + length) is memory the program may read: a
// chunk whose length runs past its array is caught here even when nothing
// else would read that far. A length of 0 accepts any pointer, null included.
void check_readable(const std::uint8_t* bytes, std::size_t length);

// True for exactly std::logic_error (no derived class) carrying one of the
// three texts of a malformed extended request: "bad request size",
// "bad size spec" or "bad size digit".
bool is_request_error(const std::logic_error& e);

}  // namespace scanbridge::fuzz

#define FUZZ_CHECK(condition)                                            \
  do {                                                                   \
    if (!(condition)) {                                                  \
      ::scanbridge::fuzz::check_failed(__FILE__, __LINE__, #condition);  \
    }                                                                    \
  } while (0)

// Aborts with the given text: for a case that must not happen.
#define FUZZ_FAIL(text) ::scanbridge::fuzz::check_failed(__FILE__, __LINE__, text)

#endif  // SCANBRIDGE_FUZZ_SUPPORT_CHECK_H_
