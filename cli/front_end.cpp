#include "cli/front_end.h"

#include <cstdint>
#include <new>
#include <string>

#include "cli/buffer_size.h"
#include "cli/mode_table.h"
#include "cli/option_kind.h"
#include "cli/progress.h"
#include "cli/quoting.h"
#include "cli/target_resolution.h"
#include "integrity/posix_error.h"

namespace vorbit {
namespace {

// One line on standard error for each file or directory left unread because of an error, as the
// run comes to it, so that what was not read is never passed over in silence; the report on
// standard output stays as it is. A progress line is taken back first, and drawn again later. A
// name that holds a line feed or another character a terminal acts on is quoted, so that each
// entry has one line whatever its name and no name can pass for a line of its own.
class UnreadOnStandardError final : public UnreadReporter {
 public:
  UnreadOnStandardError(Platform& platform, ProgressReporter* progress)
      : platform_(platform), progress_(progress) {}

  void unread(const std::string& path, int error) override {
    if (progress_ != nullptr) progress_->finished();
    platform_.writeStandardError("vorbit v2: couldn't read " + quotedForLine(path) + ": " +
                                 posixError(error).description + "\n");
  }

 private:
  Platform& platform_;
  ProgressReporter* progress_;
};

// The mode on the target: on every file below it when it is a directory, else on it alone.
ModeResult runMode(const ModeRules& mode, Platform& platform, std::int64_t bufferSize,
                   const std::string& path) {
  const std::unique_ptr<ProgressReporter> progress = progressFor(platform, mode);
  UnreadOnStandardError unread(platform, progress.get());
  const ModeContext context{platform, bufferSize, progress.get(), &unread};
  const ResolvedTarget target = resolveTarget(platform, path);
  return target.isDirectory ? runOnTree(mode, context, target.file)
                            : runOnFile(mode, context, target.file);
}

int writeReport(Platform& platform, std::string_view text) {
  const int error = platform.writeStandardOutput(text);
  if (error == 0) return 0;
  platform.writeStandardError("vorbit v2: write error: " + posixError(error).description + "\n");
  return 1;
}

int runArguments(int argc, const char* const* argv, Platform& platform) {
  const std::int32_t argumentCount = argc;
  if (argumentCount < 3) return writeReport(platform, usageText());

  const std::string_view optionWord = argv[1];
  const std::string target = argv[2];
  const std::int64_t bufferSize =
      argumentCount >= 4 ? bufferSizeFromArgument(argv[3]) : kDefaultBufferSize;

  const Option option = classifyOption(optionWord);
  if (option.kind == OptionKind::help) return writeReport(platform, usageText());
  if (option.kind == OptionKind::unknown) {
    platform.writeStandardError(kUnknownOptionMessage);
    return writeReport(platform, usageText());
  }
  ModeResult result = runMode(*option.mode, platform, bufferSize, target);
  if (!result.ok()) {
    platform.writeStandardError("vorbit v2: cannot allocate a read buffer of " +
                                std::to_string(result.error().bytes) + " bytes\n");
    return 1;
  }
  std::string report = std::move(result).value();
  report += '\n';
  return writeReport(platform, report);
}

}  // namespace

int runCommandLine(int argc, const char* const* argv, Platform& platform) {
  try {
    return runArguments(argc, argv, platform);
  } catch (const std::bad_alloc&) {
    // The report of a huge tree, or a long path, may not fit: say so rather than abort. The
    // message is written from static storage, since no more memory can be had.
    platform.writeStandardError("vorbit v2: out of memory\n");
    return 1;
  }
}

}  // namespace vorbit
