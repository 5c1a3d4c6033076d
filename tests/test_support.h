#pragma once

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <optional>
#include <string>
#include <vector>

#include "integrity/bytes.h"
#include "platform/fault_injector.h"

namespace vorbit::testing {

// A fresh directory on the real disk, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  // Creates the file (and its parent directories) with the contents; returns its path.
  std::string write(const std::string& relative, const std::string& contents) const;
  std::string mkdir(const std::string& relative) const;

 private:
  std::string path_;
};

std::optional<Bytes> storedTag(const std::string& path);  // nothing when the file has none
void storeTag(const std::string& path, const Bytes& value);
Bytes bytesOf(const std::string& text);
std::string hexString(const Bytes& bytes);
Bytes sha256Of(const std::string& text);  // in one call, to compare with the streaming engine
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// The summaries of runs over a tree, each with its last line feed.
std::string tagSummary(const std::string& root, int total, int errors);
std::string checkSummary(const std::string& root, int total, int matched, int mismatched, int none);
std::string retagSummary(const std::string& root, int total, int matched, int retagged, int fresh);

struct ProcessResult {
  std::string out, err;
  int status = -1;  // exit status, or 128 + signal (142 for a run ended as hung)
  bool operator==(const ProcessResult&) const = default;
};
void PrintTo(const ProcessResult& result, std::ostream* os);

// Runs the command with no shell in between, in the working directory when one is given, and
// with standard output on the file when one is given (then out stays empty); a run that takes
// over a minute is ended by SIGALRM.
ProcessResult runProgram(const std::vector<std::string>& command, const std::string& cwd = "",
                         const std::string& output = "");
inline bool runCommand(const std::vector<std::string>& command, const std::string& cwd = "") {
  return runProgram(command, cwd).status == 0;
}
// Runs the built vorbit as runProgram does, behind the prefix command (for instance setpriv) when
// one is given.
ProcessResult runVorbit(const std::vector<std::string>& arguments, const std::string& cwd = "",
                        std::vector<std::string> prefix = {}, const std::string& output = "");
// Runs the command line in this process over a Platform with the fault injector (or none).
ProcessResult runInProcess(const std::vector<std::string>& arguments, FaultInjector* faults);

// How the lines of a report about one file begin.
inline const std::string kNoDigest = "\u26A0\uFE0F no digest found for ",
                         kDigestEqual = "\u2705 digest for ", kTaggedFile = "\u2705 tagged ",
                         kCouldntTag = "\u274C couldn't tag ";

// A test in a fresh directory, skipped where the disk keeps no user extended attributes.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::setxattr(dir_.path().c_str(), "user.probe", "", 0, 0) != 0)
      GTEST_SKIP() << "no user extended attributes here";
  }

  TempDir dir_;
};

}  // namespace vorbit::testing
