#include "cli/mode_entry_points.h"

#include "modes/check.h"
#include "modes/retag.h"
#include "modes/tag.h"

namespace vorbit {
namespace {

using Operation = ModeResult (*)(const ModeContext&, const FileUrl&);

EntryPoint bound(Operation operation, ModeContext context) {
  return [operation, context](const FileUrl& url) { return operation(context, url); };
}

ModeEntryPoints entryPoints(Platform& platform, std::int64_t bufferSize, ProgressReporter* progress,
                            Operation tree, Operation file) {
  // Linux has one SHA-256 engine, so each pair's two back-end slots run the same operation.
  const ModeContext context{platform, bufferSize, progress};
  return ModeEntryPoints{bound(tree, context), bound(tree, context), bound(file, context),
                         bound(file, context)};
}

}  // namespace

ModeEntryPoints tagEntryPoints(Platform& platform, std::int64_t bufferSize,
                               ProgressReporter* progress) {
  return entryPoints(platform, bufferSize, progress, tagTree, tagFile);
}

ModeEntryPoints retagEntryPoints(Platform& platform, std::int64_t bufferSize,
                                 ProgressReporter* progress) {
  return entryPoints(platform, bufferSize, progress, retagTree, retagFile);
}

ModeEntryPoints checkEntryPoints(Platform& platform, std::int64_t bufferSize,
                                 ProgressReporter* progress) {
  return entryPoints(platform, bufferSize, progress, checkTree, checkFile);
}

}  // namespace vorbit
