#include "cli/mode_table.h"

#include "modes/modes.h"

namespace vorbit {

std::span<const ModeRow> modeTable() {
  static const ModeRow table[] = {{'t', kTagMode}, {'r', kRetagMode}, {'c', kCheckMode}};
  return table;
}

}  // namespace vorbit
