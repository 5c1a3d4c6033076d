#include "cli/mode_table.h"

#include "modes/modes.h"

namespace vorbit {

std::span<const ModeRow> modeTable() {
  static const ModeRow table[] = {
      {'t', "to tag one file or all those in path", kTagMode},
      {'r', "to retag one file or all those in path", kRetagMode},
      {'c', "to check one file or all those in path", kCheckMode},
  };
  return table;
}

std::string usageText() {
  std::string letters, lines;
  for (const ModeRow& row : modeTable()) {
    letters += letters.empty() ? "-" : "|";
    letters += row.letter;
    lines += std::string("-") + row.letter + " " + row.usage + "\n";
  }
  return "vorbit v2 usage:\nvorbit " + letters + " path|file [buffersize]\n" + lines +
         "optional buffersize is size of the buffer in KB, default 512 KB.\n"
         "vorbit -h to show this usage information.\n";
}

}  // namespace vorbit
