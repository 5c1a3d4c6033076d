#include "platform/entry_kind.h"

#include <sys/stat.h>

namespace vorbit {

EntryKind classifyEntry(const SystemCalls& calls, int dirFd, const ListedName& listed) {
  struct stat st;
  int error = 0;
  const auto look = [&](int flags) {
    const bool found = calls.make(SystemCall::fstatat, listed.name, [&] {
      return ::fstatat(dirFd, listed.name.c_str(), &st, flags);
    }) == 0;
    if (!found) error = errno;
    return found;
  };
  const auto throughLink = [&]() -> EntryKind {
    return look(0) ? EntryKind{kindOf(st), true, 0} : EntryKind{FileKind::unknown, true, error};
  };
  switch (listed.type) {
    case DT_REG:
      return {FileKind::regularFile, false};
    case DT_DIR:
      return {FileKind::directory, false};
    case DT_LNK:
      return throughLink();
    case DT_UNKNOWN:  // a file system that does not say: look, and follow a link
      if (!look(AT_SYMLINK_NOFOLLOW)) return {FileKind::unknown, false, error};
      if (S_ISLNK(st.st_mode)) return throughLink();
      return {kindOf(st), false};
    default:
      return {FileKind::other, false};
  }
}

}  // namespace vorbit
