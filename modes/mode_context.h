#pragma once

#include <cstdint>
#include <string>

#include "integrity/digest.h"
#include "integrity/result.h"
#include "platform/platform.h"

namespace vorbit {

// What a mode's entry point returns: the result text, or the reason the run cannot go on.
using ModeResult = Result<std::string, BufferUnavailable>;

// What every operation of a mode works with: one run's platform and buffer size.
struct ModeContext {
  Platform& platform;
  std::int64_t bufferSize;
};

}  // namespace vorbit
