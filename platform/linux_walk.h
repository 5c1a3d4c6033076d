#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace vorbit {

// A deep walk of everything below the root, which opens every directory and file below it
// relative to its parent's descriptor, or null when the root cannot be listed or lies on a
// kernel pseudo file system.
std::unique_ptr<Walk> walkDirectory(const SystemCalls& calls, const std::string& root,
                                    ReadsContents reads);

}  // namespace vorbit
