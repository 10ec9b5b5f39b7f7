// SPDX-License-Identifier: MIT
// The NT variant: commands in packets of type 1 (ESC and the like), 2
// (parameter blocks) and 8 (FS commands and scans), each answered with its
// type plus 0x80; scans answer 0x89 and stream their blocks unasked.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_SESSION_NT_H_
#define SCANBRIDGE_TOOLS_SCANEMU_SESSION_NT_H_

#include "tools/scanemu/session.h"

namespace scanbridge::tools::scanemu {

class session_nt : public session {
 public:
  session_nt(connection_control& control, const emulator_options& options, int id);

 protected:
  std::uint8_t notice_type() const override { return 0x84; }
  bool is_command_(const packet& p) const override;
  bool handle_(packet& p) override;

 private:
  bool control_(const packet& p);
  bool command_(const packet& p);
  bool parameter_block_(const packet& p);
  bool fs_command_(const packet& p);
  bool scan_();
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_SESSION_NT_H_
