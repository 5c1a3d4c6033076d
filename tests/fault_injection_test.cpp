// Faults and races injected between vorbit's system calls, in this process, on a real tree:
// every call of a run fails in turn with each of several errnos, and a racing process changes
// the tree at the one moment that matters. The report stays well formed and honest, no tag is
// ever wrong, what was read is what gets the tag, and nothing outside the tree is touched.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <regex>
#include <set>

#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// Before the nth call (of the one kind, when given) runs the action, then fails that call with
// the error (0: makes it for real).
struct Injector final : FaultInjector {
  Injector(
      long nth, int error, std::optional<SystemCall> kind = {},
      std::function<void()> action = [] {})
      : nth(nth), error(error), kind(kind), action(std::move(action)) {}

  int errorFor(SystemCall call, std::string_view) override {
    if ((kind && call != *kind) || ++seen != nth) return 0;
    failed = call;
    action();
    return error;
  }

  long nth, seen = 0;
  int error;
  std::optional<SystemCall> kind, failed;
  std::function<void()> action;
};

ProcessResult run(const std::vector<std::string>& arguments, Injector faults) {
  return runInProcess(arguments, &faults);
}

// clang-format off
const std::map<std::string, std::string> kContents = {
    {"a", "alpha"}, {"b", "bravo"}, {"c", "charlie"}, {"sub/d", "delta"},
    {"sub/e", std::string(3000, 'e')}, {"sub/f", "foxtrot"}};
// clang-format on

using Tags = std::map<std::string, std::optional<Bytes>>;

Tags tagsOf(const std::string& root) {
  Tags tags;
  for (const auto& entry : kContents) tags[entry.first] = storedTag(root + "/" + entry.first);
  return tags;
}

// a and sub/f tagged and current, b stale, c untagged, sub/d empty, sub/e in hexadecimal.
void makeTree(const std::string& root) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/sub");
  for (const auto& [name, contents] : kContents) writeFile(root + "/" + name, contents);
  storeTag(root + "/a", sha256Of("alpha"));
  storeTag(root + "/b", sha256Of("old"));
  storeTag(root + "/sub/d", {});
  storeTag(root + "/sub/e", bytesOf(hexString(sha256Of(kContents.at("sub/e")))));
  storeTag(root + "/sub/f", sha256Of("foxtrot"));
}

// The per-file lines each mode may print, by their text before the path.
const std::map<std::string, std::vector<std::string>> kLineKinds = {
    {"-t", {"\u274C couldn't tag"}},
    {"-c", {"\u274C digests for", "\u26A0\uFE0F no digest found for"}},
    {"-r", {"\u26A0\uFE0F retagged", "\u26A0\uFE0F tagged", "\u274C couldn't tag"}}};

// Checks that the report (its root written R) is lines the mode may print, each about one file,
// then the summary with the counts of those lines; returns the files it says were written (for
// tag, every file it does not name as a failure).
std::set<std::string> checkReport(const std::string& mode, const std::string& out) {
  const std::vector<std::string>& kinds = kLineKinds.at(mode);
  std::map<std::string, int> counted;
  std::set<std::string> named, written;
  for (const auto& entry : kContents) {
    if (mode == "-t") written.insert(entry.first);
  }
  std::size_t at = 0;
  for (std::size_t path; (path = out.find(" R/", at)) < out.find('\n', at);
       at = out.find('\n', at) + 1) {
    const std::string kind = out.substr(at, path - at);
    const std::string name = out.substr(path + 3, out.find_first_of(" \n", path + 3) - path - 3);
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << out;
    EXPECT_TRUE(named.insert(name).second) << name << " named twice in " << out;
    ++counted[kind];
    if (kind.ends_with("couldn't tag")) {
      written.erase(name);
    } else if (mode == "-r") {
      written.insert(name);
    }
  }
  const std::string summary = out.substr(at);
  std::vector<int> n;  // the summary's numbers
  const std::regex number("\\d+");
  for (std::sregex_iterator i(summary.begin(), summary.end(), number), end; i != end; ++i)
    n.push_back(std::stoi(i->str()));
  n.resize(2);
  EXPECT_EQ(summary, mode == "-t" ? tagSummary("R", n[0], counted[kinds[0]])
                     : mode == "-c"
                         ? checkSummary("R", n[0], n[1], counted[kinds[0]], counted[kinds[1]])
                         : retagSummary("R", n[0], n[1], counted[kinds[0]], counted[kinds[1]]));
  EXPECT_LE((mode == "-t" ? 0 : n[1]) + int(named.size()), n[0]) << out;
  EXPECT_LE(n[0], int(kContents.size())) << out;
  return written;
}

class FaultInjectionTest : public TreeTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FaultInjectionTest, EveryCallFailsInTurnAndNoWrongTagIsStored) {
  const std::string mode = GetParam(), root = dir_ / "tree";
  makeTree(root);
  const ProcessResult baseline = runInProcess({mode, root, "1"}, nullptr);
  const Tags baselineTags = tagsOf(root);
  long injected = 0;
  for (const int error : {EIO, EACCES, ENOENT, ENOSPC, EROFS, ENOTSUP, EINTR, E2BIG, ERANGE}) {
    for (long n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + " fails with " + std::strerror(error));
      makeTree(root);
      const Tags before = tagsOf(root);
      Injector faults(n, error);
      const ProcessResult result = runInProcess({mode, root, "1"}, &faults);
      if (!faults.failed) break;
      ++injected;
      if (error == EINTR) {  // retried: as if nothing had happened
        EXPECT_EQ(result.out, baseline.out);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(tagsOf(root), baselineTags);
        continue;
      }
      if (faults.failed == SystemCall::write) {
        EXPECT_EQ(result.err,
                  "vorbit v2: write error: " + std::string(std::strerror(error)) + "\n");
        EXPECT_EQ(result.status, 1);
        continue;
      }
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 0);
      const std::string out = std::regex_replace(result.out, std::regex(root), "R");
      const std::set<std::string> written =
          out == "\n" ? std::set<std::string>{} : checkReport(mode, out);
      const Tags after = tagsOf(root);
      for (const auto& [name, contents] : kContents) {
        EXPECT_EQ(readFile(root + "/" + name), contents);
        if (after.at(name) == before.at(name)) continue;
        EXPECT_EQ(after.at(name), sha256Of(contents)) << name << " holds a wrong tag";
        EXPECT_TRUE(written.count(name)) << name << " changed, yet the report does not say so";
      }
    }
  }
  std::cout << "[ injected ] " << injected << " faults into vorbit " << mode << "\n";
  EXPECT_GT(injected, 100);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjectionTest, ::testing::Values("-t", "-c", "-r"),
                         [](const auto& info) { return std::string(1, info.param[1]); });

class RaceTest : public TreeTest {
 protected:
  const std::string root_ = dir_.mkdir("r"), secret_ = dir_.write("outside/secret", "s");
};

// A file renamed away and a link to outside the tree put in its place before it is opened or
// tagged, or a directory before it is entered or a file in it is opened.
TEST_F(RaceTest, FileOrDirectorySwappedForALinkOutsideGetsNothing) {
  const std::string file = root_ + "/f", sub = root_ + "/sub";
  for (const auto& [mode, target, call, nth, swapped] :
       {std::tuple("-t", root_, SystemCall::fsetxattr, 1, file),
        {"-t", file, SystemCall::fsetxattr, 1, file},
        {"-r", root_, SystemCall::fsetxattr, 1, file},
        {"-t", root_, SystemCall::openat, 1, file},
        {"-t", root_, SystemCall::openat, 1, sub},
        {"-t", root_, SystemCall::openat, 2, sub}}) {
    std::filesystem::remove_all(root_);
    dir_.write(swapped == sub ? "r/sub/secret" : "r/f", "f");
    const auto swap = [&] {
      std::filesystem::rename(swapped, swapped + ".old");
      std::filesystem::create_symlink(swapped == sub ? dir_ / "outside" : secret_, swapped);
    };
    EXPECT_EQ(run({mode, target}, Injector(nth, 0, call, swap)).err, "");
    EXPECT_EQ(storedTag(secret_), std::nullopt) << mode << " " << target << " " << nth;
  }
}

TEST_F(RaceTest, ReleasedLevelReplacedMeanwhileGivesNoFurtherEntries) {
  // 20 files beside a chain 40 levels deep: the walk releases a's descriptor on the way down
  // and must find the same directory when it comes back for the files listed after the chain.
  std::string chain = "r/a";
  for (int level = 0; level < 40; ++level) chain += "/c";
  dir_.write(chain + "/bottom", "b");
  for (int i = 0; i < 20; ++i) dir_.write("r/a/f" + std::to_string(i), "old");
  const auto swapA = [&] {
    std::filesystem::rename(root_ + "/a", root_ + "/a.old");
    for (int i = 0; i < 20; ++i) dir_.write("r/a/f" + std::to_string(i), "new");
  };
  EXPECT_EQ(run({"-t", root_}, Injector(38, 0, SystemCall::fdopendir, swapA)).err, "");
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(storedTag(root_ + "/a/f" + std::to_string(i)), std::nullopt);
  EXPECT_EQ(storedTag(root_ + "/a.old" + chain.substr(3) + "/bottom"), sha256Of("b"));
}

TEST_F(RaceTest, FileThatChangesBetweenTwoReadsGetsNoTagInAnyMode) {
  const std::string file = root_ + "/f", contents(3000, 'x');
  for (const auto& [mode, tagged, out] :
       {std::tuple("-t", false,
                   "\u274C couldn't tag " + file + " File changed while it was read\n" +
                       tagSummary(root_, 1, 1)),
        {"-r", true, "\u274C couldn't tag " + file + "\n" + retagSummary(root_, 1, 0, 0, 0)},
        {"-c", true,
         "\u274C digests for " + file + " aren't equal.\n" + checkSummary(root_, 1, 0, 1, 0)},
        {"-c", false, kNoDigest + file + "\n" + checkSummary(root_, 1, 0, 0, 1)}}) {
    std::filesystem::remove(file);
    writeFile(file, contents);
    if (tagged) storeTag(file, sha256Of("stale"));
    const auto append = [&] { writeFile(file, contents + "appended"); };
    EXPECT_EQ(run({mode, root_, "1"}, Injector(2, 0, SystemCall::read, append)).out, out);
    EXPECT_EQ(storedTag(file), tagged ? std::optional(sha256Of("stale")) : std::nullopt);
  }
}

TEST_F(RaceTest, RetagRecoveryMustFindTheInodeItRead) {
  const std::string file = dir_.write("r/f", "f"), other = dir_.write("other", "o");
  storeTag(file, sha256Of("stale"));
  const auto swap = [&] { std::filesystem::rename(other, file); };
  EXPECT_EQ(run({"-r", root_}, Injector(1, EIO, SystemCall::fsetxattr, swap)).out,
            "\u274C couldn't tag " + file + "\n" + retagSummary(root_, 1, 0, 0, 0));
  EXPECT_EQ(storedTag(file), std::nullopt);
}

TEST_F(RaceTest, FilesGoneOrReplacedWhileOpenedAheadAreTakenByNameAtTheirTurn) {
  for (int i = 0; i < 10; ++i)
    storeTag(dir_.write("r/f" + std::to_string(i), "old"), sha256Of("old"));
  std::vector<std::string> order;  // the walk's order is the file system's
  for (const auto& entry : std::filesystem::directory_iterator(root_))
    order.push_back(entry.path());
  // By the first file's turn (its first fstat) every file is open ahead of it.
  const auto change = [&] {
    std::filesystem::remove(order[3]);
    std::filesystem::rename(dir_.write("new", "new"), order[6]);
  };
  EXPECT_EQ(run({"-c", root_}, Injector(2, 0, SystemCall::fstat, change)).out,
            kNoDigest + order[6] + "\n" + checkSummary(root_, 10, 8, 0, 1));
}

TEST_F(RaceTest, MemoryRunningOutEndsTheRunWithAMessage) {
  dir_.write("r/f", "f");
  const auto exhaust = [] { throw std::bad_alloc(); };
  const ProcessResult result = run({"-c", root_}, Injector(1, 0, SystemCall::fgetxattr, exhaust));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "vorbit v2: out of memory\n");
  EXPECT_EQ(result.status, 1);
}

}  // namespace
}  // namespace vorbit
