// SPDX-License-Identifier: MIT
#include "tools/common/command_line.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>

namespace scanbridge::tools {

namespace {

// getopt_long's code for an operand when the option string starts with '-'.
constexpr int kOperand = 1;
// Codes of the long options passed to getopt_long: their index from here.
constexpr int kLongBase = 256;

// The option as the user wrote it, without any "=value".
std::string written(std::string_view word) {
  return std::string(word.substr(0, word.find('=')));
}

// The long names that `written` ("--co") abbreviates.
std::vector<std::string> long_matches(std::string_view word, std::span<const option_def> defs) {
  const std::string_view prefix = std::string_view(word).substr(2);
  std::vector<std::string> names;
  for (const option_def& def : defs) {
    if (std::string_view(def.name).substr(0, prefix.size()) == prefix) {
      names.push_back(std::string("--") + def.name);
    }
  }
  return names;
}

// The one line for what getopt_long refused; `result` is what it returned
// and `word` the argument before optind. A short option is told by optopt,
// its letter: inside a bundle ("-vz") optind has not moved on yet, so the
// word would be the one before. A long option leaves 0 there (unknown) or
// its code (a value missing or not wanted), and optind just past it.
std::string refusal(int result, std::string_view word, std::span<const option_def> defs) {
  const bool is_long = optopt == 0 || optopt >= kLongBase;
  const std::string name = is_long ? written(word) : std::string("-") + static_cast<char>(optopt);
  if (result == ':') return "option '" + name + "' needs a value";
  if (is_long && optopt != 0) return "option '" + name + "' takes no value";
  if (is_long) {
    const std::vector<std::string> names = long_matches(name, defs);
    if (names.size() > 1) {
      std::string list;
      for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
      return "option '" + name + "' is ambiguous: " + list;
    }
  }
  return "unknown option '" + name + "'";
}

}  // namespace

bool parse_command_line(const std::vector<std::string>& args, std::span<const option_def> defs,
                        std::vector<given_option>* options, std::vector<std::string>* operands,
                        std::string* error) {
  // getopt_long permutes the words it is given, so it gets copies.
  std::vector<std::string> words = {"program"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // '-': operands come back in order, as code 1, whatever POSIXLY_CORRECT
  // says; ':': a missing value comes back as ':', not as '?'.
  std::string letters = "-:";
  std::vector<option> longs;
  for (std::size_t i = 0; i < defs.size(); ++i) {
    const option_def& def = defs[i];
    if (def.letter != 0) {
      letters.push_back(def.letter);
      if (def.takes_value) letters.push_back(':');
    }
    // Names of one option share its first index, so that an abbreviation of
    // both ("--col" for --colour and --color) is not ambiguous.
    std::size_t first = 0;
    while (defs[first].code != def.code) ++first;
    longs.push_back({def.name, def.takes_value ? required_argument : no_argument, nullptr,
                     kLongBase + static_cast<int>(first)});
  }
  longs.push_back({nullptr, 0, nullptr, 0});

  const int argc = static_cast<int>(words.size());
  opterr = 0;  // the caller words the errors
  optind = 0;  // 0, not 1: glibc then starts afresh, also inside bundled flags
  for (;;) {
    int index = -1;
    const int result = ::getopt_long(argc, argv.data(), letters.c_str(), longs.data(), &index);
    if (result == -1) break;
    if (result == kOperand) {
      operands->push_back(optarg);
      continue;
    }
    if (result == '?' || result == ':') {
      *error = refusal(result, argv[static_cast<std::size_t>(optind - 1)], defs);
      return false;
    }
    given_option given;
    if (result >= kLongBase) {
      const option_def& def = defs[static_cast<std::size_t>(result - kLongBase)];
      given.code = def.code;
      given.spelling = std::string("--") + def.name;
    } else {
      for (const option_def& def : defs) {
        if (def.letter == result) given.code = def.code;
      }
      given.spelling = std::string("-") + static_cast<char>(result);
    }
    if (optarg != nullptr) given.value = optarg;
    options->push_back(std::move(given));
  }
  for (int i = optind; i < argc; ++i) operands->push_back(argv[static_cast<std::size_t>(i)]);
  return true;
}

std::string bad_value(const given_option& option, std::string_view wanted) {
  return "option '" + option.spelling + "' wants " + std::string(wanted) + ", not '" +
         option.value + "'";
}

std::string usage_error(std::string_view program, std::string_view error) {
  const std::string name(program);
  return name + ": " + std::string(error) + "; try '" + name + " --help'";
}

bool parse_number(std::string_view text, std::uint64_t min, std::uint64_t max,
                  std::uint64_t* value) {
  std::uint64_t result = 0;
  const char* end = text.data() + text.size();
  const auto [stop, code] = std::from_chars(text.data(), end, result);
  if (text.empty() || code != std::errc() || stop != end || result < min || result > max) {
    return false;
  }
  *value = result;
  return true;
}

std::string help_line(char letter, std::string_view name, const char* value,
                      std::string_view help) {
  std::string line = letter != 0 ? std::string("  -") + letter + ", --" : "      --";
  line += std::string(name) + (value != nullptr ? std::string(" ") + value : "");
  constexpr std::size_t kColumn = 30;
  line += line.size() < kColumn ? std::string(kColumn - line.size(), ' ')
                                : "\n" + std::string(kColumn, ' ');
  return line + std::string(help) + "\n";
}

int answer_command_line(std::string_view program, std::string_view version,
                        const std::string& error, bool help, bool wants_version,
                        const std::string& usage) {
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", usage_error(program, error).c_str());
    return EXIT_USAGE;
  }
  if (help) std::fputs(usage.c_str(), stdout);
  if (!help && wants_version) {
    std::printf("%.*s %.*s\n", static_cast<int>(program.size()), program.data(),
                static_cast<int>(version.size()), version.data());
  }
  return help || wants_version ? 0 : -1;
}

}  // namespace scanbridge::tools
