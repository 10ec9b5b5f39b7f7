// SPDX-License-Identifier: MIT
// The command lines of the tools, all in the GNU style through getopt_long:
// -oFILE, -o FILE, --output=FILE, --output FILE, unique abbreviations of long
// names, bundled short flags, and "--" before operands that begin with '-'.
#ifndef SCANBRIDGE_TOOLS_COMMON_COMMAND_LINE_H_
#define SCANBRIDGE_TOOLS_COMMON_COMMAND_LINE_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace scanbridge::tools {

// The exit status of every tool for a command line it cannot run.
inline constexpr int EXIT_USAGE = 2;

// One option a tool takes.
struct option_def {
  const char* name;  // the long name, without "--"
  char letter;       // the short form; 0 for none
  bool takes_value;
  int code;  // what the tool knows the option by
};

struct given_option {
  int code = 0;
  std::string value;     // empty for a flag
  std::string spelling;  // as given, for messages: "--output" or "-o"
};

// Parses args (the words after the program name). Options come out in the
// order given, operands in theirs, wherever they stood. False, with one line
// in *error naming the option ("unknown option '--bogus'", "option '-o' needs
// a value"), when an option is unknown, ambiguous, lacks its value or has a
// value it does not take.
bool parse_command_line(const std::vector<std::string>& args, std::span<const option_def> defs,
                        std::vector<given_option>* options, std::vector<std::string>* operands,
                        std::string* error);

// "option '--timeout' wants a number from 1 to 86400, not '0'"
std::string bad_value(const given_option& option, std::string_view wanted);

// The one line a tool writes to standard error before it exits with
// EXIT_USAGE: "NAME: ERROR; try 'NAME --help'".
std::string usage_error(std::string_view program, std::string_view error);

// A whole decimal number from min to max, nothing else in the text.
bool parse_number(std::string_view text, std::uint64_t min, std::uint64_t max,
                  std::uint64_t* value);
template <typename T>
bool parse_number(std::string_view text, std::uint64_t min, std::uint64_t max, T* value) {
  std::uint64_t wide = 0;
  if (!parse_number(text, min, max, &wide)) return false;
  *value = static_cast<T>(wide);
  return true;
}

// "option '--port' wants a number from 0 to 65535, not 'x'" when the value is
// not such a number.
template <typename T>
bool take_number(const given_option& option, std::uint64_t min, std::uint64_t max, T* value,
                 std::string* error) {
  if (parse_number(option.value, min, max, value)) return true;
  *error = bad_value(option, "a number from " + std::to_string(min) + " to " + std::to_string(max));
  return false;
}

// The line --version prints: "NAME VERSION".
std::string version_line(std::string_view program, std::string_view version);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_COMMAND_LINE_H_
