// Every system call of a run fails in turn, with each of several errnos, on a real tree: the
// report stays well formed and honest, no tag is ever wrong, and interruptions are retried.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "cli/front_end.h"
#include "integrity/tag_store.h"
#include "platform/linux_platform.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::bytesOf;
using testing::hexString;
using testing::runInProcess;
using testing::sha256Of;
using testing::storedTag;
using testing::TempDir;

// Fails the nth system call of a run with one errno; every other call is made for real.
class NthCallFails final : public FaultInjector {
 public:
  NthCallFails(long n, int error) : n_(n), error_(error) {}

  int errorFor(SystemCall call) override {
    if (++calls_ != n_) return 0;
    failed_ = call;
    return error_;
  }

  bool fired() const { return failed_.has_value(); }
  std::optional<SystemCall> failedCall() const { return failed_; }

 private:
  long n_;
  int error_;
  long calls_ = 0;
  std::optional<SystemCall> failed_;
};

const std::map<std::string, std::string> kContents = {{"a", "alpha"},
                                                      {"b", "bravo"},
                                                      {"c", "charlie"},
                                                      {"sub/d", "delta"},
                                                      {"sub/e", std::string(3000, 'e')},
                                                      {"sub/f", "foxtrot"}};

using Tags = std::map<std::string, std::optional<Bytes>>;

// a and sub/f tagged and current, b stale, c untagged, sub/d empty, sub/e in hexadecimal.
void makeTree(const std::string& root) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/sub");
  for (const auto& [name, contents] : kContents) testing::writeFile(root + "/" + name, contents);
  testing::storeTag(root + "/a", sha256Of("alpha"));
  testing::storeTag(root + "/b", sha256Of("old"));
  testing::storeTag(root + "/sub/d", {});
  testing::storeTag(root + "/sub/e", bytesOf(hexString(sha256Of(kContents.at("sub/e")))));
  testing::storeTag(root + "/sub/f", sha256Of("foxtrot"));
}

Tags tagsOf(const std::string& root) {
  Tags tags;
  for (const auto& entry : kContents) tags[entry.first] = storedTag(root + "/" + entry.first);
  return tags;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The names of the files the lines that start with the prefix are about.
std::set<std::string> named(const std::vector<std::string>& lines, const std::string& prefix,
                            const std::string& root) {
  std::set<std::string> names;
  for (const std::string& line : lines) {
    if (line.rfind(prefix + root + "/", 0) != 0) continue;
    std::string name = line.substr(prefix.size() + root.size() + 1);
    names.insert(name.substr(0, name.find(' ')));
  }
  return names;
}

long count(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// Checks the report's form and counts, and returns the names of the files it says were written
// (for tag: every file not named as a failure).
std::set<std::string> checkReport(const std::string& mode, const std::string& root,
                                  const std::string& out) {
  const std::vector<std::string> lines = linesOf(out);
  const std::string couldnt = "\u274C couldn't tag ";
  std::smatch m;
  if (mode == "-t") {
    const std::regex summary("Tagged a total of (\\d+) files in " + root +
                             " with (\\d+) errors\\.");
    EXPECT_TRUE(std::regex_match(lines.back(), m, summary)) << out;
    if (m.empty()) return {};
    EXPECT_EQ(count(lines, couldnt), std::stol(m[2])) << out;
    EXPECT_LE(std::stol(m[2]), std::stol(m[1]));
    EXPECT_EQ(count(lines, couldnt) + 1, static_cast<long>(lines.size())) << out;
    std::set<std::string> written;
    for (const auto& entry : kContents) written.insert(entry.first);
    for (const std::string& name : named(lines, couldnt, root)) written.erase(name);
    return written;
  }
  EXPECT_GE(lines.size(), 4u) << out;
  if (lines.size() < 4) return {};
  const std::string verb = mode == "-c" ? "Checked" : "Retagged";
  EXPECT_TRUE(std::regex_match(lines[lines.size() - 4], m,
                               std::regex(verb + " a total of (\\d+) files in " + root)))
      << out;
  const long total = m.empty() ? 0 : std::stol(m[1]);
  std::vector<long> counts;
  for (std::size_t i = lines.size() - 3; i < lines.size(); ++i) {
    counts.push_back(std::stol(lines[i].substr(1)));
    EXPECT_EQ(lines[i][0], '\t');
  }
  const std::vector<std::string> perFile(lines.begin(), lines.end() - 4);
  EXPECT_LE(total, static_cast<long>(kContents.size()));
  EXPECT_LE(counts[0] + counts[1] + counts[2], total) << out;
  if (mode == "-c") {
    EXPECT_EQ(count(perFile, "\u274C digests for "), counts[1]) << out;
    EXPECT_EQ(count(perFile, "\u26A0\uFE0F no digest found for "), counts[2]) << out;
    EXPECT_EQ(static_cast<long>(perFile.size()), counts[1] + counts[2]) << out;
    return {};
  }
  EXPECT_EQ(count(perFile, "\u26A0\uFE0F retagged "), counts[1]) << out;
  EXPECT_EQ(count(perFile, "\u26A0\uFE0F tagged "), counts[2]) << out;
  EXPECT_LE(count(perFile, couldnt) + counts[0] + counts[1] + counts[2], total) << out;
  std::set<std::string> written = named(perFile, "\u26A0\uFE0F retagged ", root);
  written.merge(named(perFile, "\u26A0\uFE0F tagged ", root));
  return written;
}

class FaultInjectionTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!testing::supportsUserXattrs(dir_.path())) GTEST_SKIP() << "no user xattrs here";
  }

  TempDir dir_;
};

TEST_P(FaultInjectionTest, EveryCallFailsInTurnAndNoWrongTagIsStored) {
  const std::string mode = GetParam();
  const std::string root = dir_ / "tree";
  makeTree(root);
  const testing::ProcessResult baseline = runInProcess({mode, root, "1"}, nullptr);
  const Tags baselineTags = tagsOf(root);
  long injected = 0;

  for (const int error : {EIO, EACCES, ENOENT, ENOSPC, EROFS, ENOTSUP, EINTR, E2BIG, ERANGE}) {
    for (long n = 1;; ++n) {
      SCOPED_TRACE(std::string("call ") + std::to_string(n) + " fails with " + strerror(error));
      makeTree(root);
      const Tags before = tagsOf(root);
      NthCallFails faults(n, error);
      const testing::ProcessResult run = runInProcess({mode, root, "1"}, &faults);
      if (!faults.fired()) break;
      ++injected;
      const Tags after = tagsOf(root);

      if (error == EINTR) {  // retried: as if nothing had happened
        EXPECT_EQ(run.out, baseline.out);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(after, baselineTags);
        continue;
      }
      if (faults.failedCall() == SystemCall::write) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "vorbit v2: write error: " + std::string(strerror(error)) + "\n");
        continue;
      }
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.err, "");
      ASSERT_FALSE(run.out.empty());
      EXPECT_EQ(run.out.back(), '\n');
      const std::set<std::string> written =
          run.out == "\n" ? std::set<std::string>{} : checkReport(mode, root, run.out);
      for (const auto& [name, contents] : kContents) {
        EXPECT_EQ(testing::readFile(root + "/" + name), contents);
        if (after.at(name) != before.at(name)) {
          EXPECT_EQ(after.at(name), sha256Of(contents)) << name << " holds a wrong tag";
          EXPECT_TRUE(written.count(name)) << name << " changed, yet the report does not say so";
        }
      }
    }
  }
  std::cout << "[ injected ] " << injected << " faults into vorbit " << mode << "\n";
  RecordProperty("injected_faults", static_cast<int>(injected));
  EXPECT_GT(injected, 100);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjectionTest, ::testing::Values("-t", "-c", "-r"),
                         [](const auto& info) {
                           return info.param == "-t"   ? "Tag"
                                  : info.param == "-c" ? "Check"
                                                       : "Retag";
                         });

}  // namespace
}  // namespace vorbit
