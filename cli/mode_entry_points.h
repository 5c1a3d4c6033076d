#pragma once

#include <cstdint>
#include <functional>

#include "modes/mode_context.h"

namespace vorbit {

using EntryPoint = std::function<ModeResult(const FileUrl&)>;

// The four entry points of one mode, each bound to one run's platform and buffer size.
struct ModeEntryPoints {
  EntryPoint treeCryptoKit;
  EntryPoint treeCommonCrypto;
  EntryPoint fileCryptoKit;
  EntryPoint fileCommonCrypto;
};

ModeEntryPoints tagEntryPoints(Platform& platform, std::int64_t bufferSize);
ModeEntryPoints retagEntryPoints(Platform& platform, std::int64_t bufferSize);
ModeEntryPoints checkEntryPoints(Platform& platform, std::int64_t bufferSize);

}  // namespace vorbit
