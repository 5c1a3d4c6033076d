#pragma once

#include <cstdint>
#include <functional>

#include "modes/mode_context.h"

namespace vorbit {

using EntryPoint = std::function<ModeResult(const FileUrl&)>;

// The four entry points of one mode, each bound to one run's platform, buffer size and progress
// reporter (none: no progress is shown).
struct ModeEntryPoints {
  EntryPoint treeCryptoKit;
  EntryPoint treeCommonCrypto;
  EntryPoint fileCryptoKit;
  EntryPoint fileCommonCrypto;
};

ModeEntryPoints tagEntryPoints(Platform& platform, std::int64_t bufferSize,
                               ProgressReporter* progress = nullptr);
ModeEntryPoints retagEntryPoints(Platform& platform, std::int64_t bufferSize,
                                 ProgressReporter* progress = nullptr);
ModeEntryPoints checkEntryPoints(Platform& platform, std::int64_t bufferSize,
                                 ProgressReporter* progress = nullptr);

}  // namespace vorbit
