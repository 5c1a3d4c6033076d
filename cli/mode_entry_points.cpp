#include "cli/mode_entry_points.h"

#include "cli/directory_walk.h"
#include "modes/check.h"
#include "modes/retag.h"
#include "modes/tag.h"

namespace vorbit {
namespace {

using Operation = ModeResult (*)(const ModeContext&, const FileUrl&);

EntryPoint bound(Operation operation, ModeContext context) {
  return [operation, context](const FileUrl& url) { return operation(context, url); };
}

ModeEntryPoints entryPoints(Platform& platform, std::int64_t bufferSize, Operation tree,
                            Operation file) {
  const ModeContext cryptoKit{platform, bufferSize, fileDigestCryptoKit, walkDirectory};
  const ModeContext commonCrypto{platform, bufferSize, fileDigestCommonCrypto, walkDirectory};
  return ModeEntryPoints{bound(tree, cryptoKit), bound(tree, commonCrypto), bound(file, cryptoKit),
                         bound(file, commonCrypto)};
}

}  // namespace

ModeEntryPoints tagEntryPoints(Platform& platform, std::int64_t bufferSize) {
  return entryPoints(platform, bufferSize, tagTree, tagFile);
}

ModeEntryPoints retagEntryPoints(Platform& platform, std::int64_t bufferSize) {
  return entryPoints(platform, bufferSize, retagTree, retagFile);
}

ModeEntryPoints checkEntryPoints(Platform& platform, std::int64_t bufferSize) {
  return entryPoints(platform, bufferSize, checkTree, checkFile);
}

}  // namespace vorbit
