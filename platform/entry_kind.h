#pragma once

#include "platform/directory_listing.h"
#include "platform/system_calls.h"

namespace vorbit {

// What a listed name is once a symbolic link in its place is followed, and whether one was; for
// a name that could not be looked up, unknown, with the errno.
struct EntryKind {
  FileKind kind = FileKind::unknown;
  bool throughLink = false;
  int error = 0;
};

// The kind from the listing's type, looked up relative to the directory only where the listing
// does not say, or says it is a link. Looks, and nothing more: a directory is not entered here.
EntryKind classifyEntry(const SystemCalls& calls, int dirFd, const ListedName& listed);

}  // namespace vorbit
