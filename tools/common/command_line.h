// SPDX-License-Identifier: MIT
// The command lines of the tools, all in the GNU style through getopt_long:
// -oFILE, -o FILE, --output=FILE, --output FILE, unique abbreviations of long
// names, bundled short flags, and "--" before operands that begin with '-'.
#ifndef SCANBRIDGE_TOOLS_COMMON_COMMAND_LINE_H_
#define SCANBRIDGE_TOOLS_COMMON_COMMAND_LINE_H_

#include <cstdint>
#include <functional>
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

// One row of a tool's option table, which both parses the option and gives
// its line in --help, so that each option is said once.
template <typename Options>
struct option_entry {
  const char* name;   // the long name, without "--"
  char letter;        // the short form; 0 for none
  const char* value;  // the value's name in --help ("FILE"); nullptr for a flag
  // The line in --help; nullptr for another name of the row before, which
  // --help leaves to the manual page.
  const char* help;
  std::function<bool(Options&, const given_option&, std::string* error)> apply;
};

// A flag that sets a member to a fixed value: --grey sets colour to false.
template <typename Options, typename T, typename V>
option_entry<Options> set(const char* name, char letter, T Options::*member, V value,
                          const char* help) {
  return {name, letter, nullptr, help, [member, value](Options& o, const given_option&, auto) {
            o.*member = value;
            return true;
          }};
}

// A value taken as it is.
template <typename Options>
option_entry<Options> text(const char* name, char letter, const char* value,
                           std::string Options::*member, const char* help) {
  return {name, letter, value, help, [member](Options& o, const given_option& given, auto) {
            o.*member = given.value;
            return true;
          }};
}

// A whole number from min to max.
template <typename Options, typename T>
option_entry<Options> number(const char* name, char letter, const char* value, T Options::*member,
                             std::uint64_t min, std::uint64_t max, const char* help) {
  return {name, letter, value, help,
          [member, min, max](Options& o, const given_option& given, std::string* error) {
            return take_number(given, min, max, &(o.*member), error);
          }};
}

// Another name of the row before it.
template <typename Options>
option_entry<Options> alias(const char* name) {
  return {name, 0, nullptr, nullptr, {}};
}

// Parses args by the table and applies each option in the order given. False,
// with one line in *error, as parse_command_line or an option's apply says.
template <typename Options>
bool parse_table(const std::vector<std::string>& args, std::span<const option_entry<Options>> table,
                 Options* options, std::vector<std::string>* operands, std::string* error) {
  std::vector<option_def> defs;
  int row = 0;  // an alias is known by the code of its row
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].help != nullptr) row = static_cast<int>(i);
    defs.push_back({table[i].name, table[i].letter, table[row].value != nullptr, row});
  }
  std::vector<given_option> given;
  if (!parse_command_line(args, defs, &given, operands, error)) return false;
  for (const given_option& option : given) {
    if (!table[static_cast<std::size_t>(option.code)].apply(*options, option, error)) return false;
  }
  return true;
}

// "  -o, --output FILE         where the image goes\n"
std::string help_line(char letter, std::string_view name, const char* value, std::string_view help);

// The lines of --help for the table's rows, aliases left out.
template <typename Options>
std::string table_help(std::span<const option_entry<Options>> table) {
  std::string lines;
  for (const option_entry<Options>& e : table) {
    if (e.help != nullptr) lines += help_line(e.letter, e.name, e.value, e.help);
  }
  return lines;
}

// What main does with a parsed command line before anything else: a bad one
// gives the one line of usage_error and EXIT_USAGE, --help prints `usage` and
// --version "PROGRAM VERSION" on standard output, both with status 0. -1 when
// the tool is to run.
int answer_command_line(std::string_view program, std::string_view version,
                        const std::string& error, bool help, bool wants_version,
                        const std::string& usage);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_COMMAND_LINE_H_
