// SPDX-License-Identifier: MIT
#include "commands/factory.h"

#include <cstdint>

#include "commands/command_param.h"
#include "commands/command_scan.h"
#include "commands/command_var.h"
#include "wire/codes.h"

namespace scanbridge {

namespace {

// Where an NT setting lives in the parameter block: its flag's byte and bit
// in the bitmap (and in the scanner's status reply), and where and how many
// parameter bytes the client sends. No two settings share a flag.
struct buffer_setting {
  std::uint8_t letter;
  std::uint8_t flag_byte;
  std::uint8_t flag_bit;
  std::uint16_t block_offset;
  std::uint16_t param_size;
};

constexpr buffer_setting BUFFER_SETTINGS[] = {
    {'A', 4, 2, 46, 8}, {'B', 2, 0, 24, 1},    {'C', 0, 1, 9, 1},  {'D', 0, 0, 8, 1},
    {'H', 4, 1, 44, 2}, {'K', 0, 2, 10, 1},    {'L', 1, 0, 16, 1}, {'M', 2, 2, 26, 1},
    {'N', 3, 3, 35, 1}, {'Q', 1, 2, 18, 1},    {'R', 4, 0, 40, 4}, {'Z', 1, 1, 17, 1},
    {'d', 3, 1, 33, 1}, {'g', 3, 0, 32, 1},    {'m', 4, 3, 54, 9}, {'s', 2, 1, 25, 1},
    {'t', 2, 3, 27, 1}, {'z', 6, 0, 152, 256},
};

const buffer_setting* find_buffer_setting(std::uint8_t letter) {
  for (const buffer_setting& s : BUFFER_SETTINGS) {
    if (s.letter == letter) return &s;
  }
  return nullptr;
}

// Reply sizes of the IS commands whose answers are longer than one byte.
constexpr std::uint64_t IS_DEFAULT_REPLY = 1;
constexpr std::uint64_t IS_ESC_F_REPLY = 4;
constexpr std::uint64_t IS_FS_F_REPLY = 16;
constexpr std::uint64_t IS_FS_I_REPLY = 80;
constexpr std::uint64_t IS_FS_S_REPLY = 64;

std::unique_ptr<command> nt_fs_table(std::uint8_t letter) {
  switch (letter) {
    case 'G':
      return std::make_unique<command_scan>(letter, FS);
    case 'W':
      return std::make_unique<command_param>(letter, FS);
    default:  // F, I, S and the unlisted letters
      return std::make_unique<command>(letter, FS);
  }
}

std::unique_ptr<command> nt_esc_table(std::uint8_t letter, std::uint8_t prefix) {
  if (const buffer_setting* s = find_buffer_setting(letter)) {
    return std::make_unique<command_buf>(letter, s->flag_byte, s->flag_bit, s->block_offset,
                                         s->param_size);
  }
  switch (letter) {
    case '!':
      return nullptr;
    case 'G':
      return std::make_unique<command_scan>(letter, prefix);
    case 'I':
    case 'f':
    case 'q':
      return std::make_unique<command_var>(letter, ESC);
    case 'e':
    case 'p':
      return std::make_unique<command_param>(letter, ESC);
    default:  // F, i and the unlisted letters
      return std::make_unique<command>(letter, prefix);
  }
}

std::unique_ptr<command> is_fs_table(std::uint8_t letter) {
  switch (letter) {
    case 'F':
      return std::make_unique<command_is>(letter, FS, IS_FS_F_REPLY);
    case 'G':
      return std::make_unique<command_scan_is>(letter, FS);
    case 'I':
      return std::make_unique<command_is>(letter, FS, IS_FS_I_REPLY);
    case 'S':
      return std::make_unique<command_is>(letter, FS, IS_FS_S_REPLY);
    case 'W':
      return std::make_unique<command_param_is>(letter, FS);
    default:
      return std::make_unique<command_is>(letter, FS, IS_DEFAULT_REPLY);
  }
}

std::unique_ptr<command> is_esc_table(std::uint8_t letter, std::uint8_t prefix) {
  // The IS scanner takes every NT buffer setting as a plain parameter command.
  if (find_buffer_setting(letter) != nullptr) {
    return std::make_unique<command_param_is>(letter, ESC);
  }
  switch (letter) {
    case '!':
    case 'I':
    case 'f':
    case 'i':
    case 'q':
      return std::make_unique<command_var_is>(letter, ESC);
    case 'e':
    case 'p':
      return std::make_unique<command_param_is>(letter, ESC);
    case 'F':
      return std::make_unique<command_is>(letter, prefix, IS_ESC_F_REPLY);
    default:  // G and the unlisted letters
      return std::make_unique<command_is>(letter, prefix, IS_DEFAULT_REPLY);
  }
}

}  // namespace

std::unique_ptr<command> new_command_nt(int letter, int prefix) {
  const auto l = static_cast<std::uint8_t>(letter);
  const auto p = static_cast<std::uint8_t>(prefix);
  return p == FS ? nt_fs_table(l) : nt_esc_table(l, p);
}

std::unique_ptr<command> new_command_is(int letter, int prefix) {
  const auto l = static_cast<std::uint8_t>(letter);
  const auto p = static_cast<std::uint8_t>(prefix);
  return p == FS ? is_fs_table(l) : is_esc_table(l, p);
}

}  // namespace scanbridge
