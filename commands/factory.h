// SPDX-License-Identifier: MIT
// The translator of each legacy command, per protocol variant. Both factories
// are pure functions of the command's two bytes: no sockets, no session, no
// state.
#ifndef SCANBRIDGE_COMMANDS_FACTORY_H_
#define SCANBRIDGE_COMMANDS_FACTORY_H_

#include <memory>

#include "commands/command.h"

namespace scanbridge {

// letter: the command's second byte, 0 for a one-byte command. prefix: its
// first byte, FF, EM, ESC or FS. Either may arrive as a signed 8-bit value
// widened to int; both are compared as bytes. FS selects the FS table, every
// other prefix the ESC table. Letters a table does not list get its generic
// translator, carrying the prefix as passed.

// NT variant. Returns null for ESC ! (and FF !, EM !): the session answers
// the notice query itself.
std::unique_ptr<command> new_command_nt(int letter, int prefix);

// IS variant. Never null.
std::unique_ptr<command> new_command_is(int letter, int prefix);

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_FACTORY_H_
