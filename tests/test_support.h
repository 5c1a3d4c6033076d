#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "integrity/bytes.h"
#include "platform/fault_injector.h"

namespace vorbit::testing {

// A fresh directory on the real disk, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Creates the file (and its parent directories) with the contents; returns its path.
  std::string write(const std::string& relative, const std::string& contents) const;
  std::string mkdir(const std::string& relative) const;

 private:
  std::string path_;
};

// The digest tag stored on the file, or nothing when it has none.
std::optional<Bytes> storedTag(const std::string& path);
void storeTag(const std::string& path, const Bytes& value);

// The bytes of a text, one for each char.
Bytes bytesOf(std::string_view text);

// Lower-case hexadecimal, two digits a byte.
std::string hexString(const Bytes& bytes);

// The summary line of a tag run over a tree, with its line feed.
std::string tagSummary(const std::string& root, int total, int errors);

// The SHA-256 of the text, computed in one call for comparison with the streaming engine.
Bytes sha256Of(const std::string& text);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// Whether user extended attributes can be set in the directory.
bool supportsUserXattrs(const std::string& directory);

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal (137 for a run killed as hung)
};

// Runs the built vorbit with the arguments, in the working directory when one is given, and
// behind the prefix command (for instance setpriv) when one is given.
ProcessResult runVorbit(const std::vector<std::string>& arguments, const std::string& cwd = "",
                        const std::vector<std::string>& prefix = {});

// The names in the directory in the order the file system lists them, which is the order of
// vorbit's walk; never sorted.
std::vector<std::string> listedNames(const std::string& directory);

// Runs the command line in this process over a LinuxPlatform with the fault injector (or none),
// standard output and error caught.
ProcessResult runInProcess(const std::vector<std::string>& arguments, FaultInjector* faults);

// Runs a command with no shell in between; true when it exits 0.
bool runCommand(const std::vector<std::string>& command);

}  // namespace vorbit::testing
