#include "platform/entry_kind.h"

#include <sys/stat.h>

namespace vorbit {

EntryKind classifyEntry(const SystemCalls& calls, int dirFd, const ListedName& listed) {
  struct stat st;
  const auto look = [&](int flags) {
    return calls.make(SystemCall::fstatat, listed.name,
                      [&] { return ::fstatat(dirFd, listed.name.c_str(), &st, flags); }) == 0;
  };
  switch (listed.type) {
    case DT_REG:
      return {FileKind::regularFile, false};
    case DT_DIR:
      return {FileKind::directory, false};
    case DT_LNK:
      return {look(0) ? kindOf(st) : FileKind::unknown, true};
    case DT_UNKNOWN:  // a file system that does not say: look, and follow a link
      if (!look(AT_SYMLINK_NOFOLLOW)) return {};
      if (S_ISLNK(st.st_mode)) return {look(0) ? kindOf(st) : FileKind::unknown, true};
      return {kindOf(st), false};
    default:
      return {FileKind::other, false};
  }
}

}  // namespace vorbit
