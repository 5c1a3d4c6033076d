#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "modes/mode_context.h"

namespace vorbit {

// Runs one file's step; a returned value means the run cannot go on.
using FileStep = std::function<std::optional<BufferUnavailable>(const FileUrl& file)>;

struct TreeRun {
  bool enumerated = false;
  std::int64_t total = 0;
  std::optional<BufferUnavailable> fatal;
};

// Runs the step on every file below the root, one after another, and counts them whatever the
// step's outcome. enumerated is false when the root could not be listed at all.
TreeRun runOverTree(const ModeContext& context, const FileUrl& root, const FileStep& step);

// "<verb> a total of N files in ROOT", the line every tree summary starts with.
std::string summaryStart(const char* verb, std::int64_t total, const std::string& rootPath);

}  // namespace vorbit
