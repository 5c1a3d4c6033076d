// Faults and races injected between vorbit's system calls, in this process, on a real tree:
// every call of a run fails in turn with each of several errnos, and a racing process changes
// the tree at the one moment that matters. The report stays well formed and honest, no tag is
// ever wrong, what was read is what gets the tag, and nothing outside the tree is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <tuple>

#include "cli/mode_table.h"
#include "integrity/tag_store.h"
#include "modes/modes.h"
#include "tests/test_support.h"

namespace vorbit {

// A mode's row reads as its option word in test names.
void PrintTo(const ModeRow& row, std::ostream* os) { *os << '-' << row.letter; }

namespace {

using namespace vorbit::testing;

// Before the nth call (of the one kind, and given the one name, when these are set) runs the
// action, then fails that call with the error (0: makes it for real). Every call is first shown
// to each, which may fail it with an errno of its own: a file system that refuses a kind of call.
struct Injector final : FaultInjector {
  Injector(
      long nth, int error, std::optional<SystemCall> kind = {}, std::string name = "",
      std::function<void()> action = [] {})
      : nth(nth), error(error), kind(kind), name(std::move(name)), action(std::move(action)) {}

  int errorFor(SystemCall call, std::string_view callName) override {
    if (const int own = each ? each(call, callName) : 0) return own;
    if ((kind && call != *kind) || (!name.empty() && callName != name) || ++seen != nth) return 0;
    failed = call;
    action();
    return error;
  }

  long nth, seen = 0;
  int error;
  std::optional<SystemCall> kind, failed;
  std::string name;
  std::function<void()> action;
  std::function<int(SystemCall, std::string_view)> each;
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

bool writes(Outcome outcome) { return outcome == Outcome::tagged || outcome == Outcome::retagged; }

// Whether the outcome gets no line in a tree (modes/tree_operation.h): then it must get one for a
// single file, unless it is noFreshDigest.
bool silent(const ModeRules& rules, Outcome outcome) {
  const FileStep step{outcome, "detail"};
  if (!rules.line(step, "R/f", Scope::tree).empty()) return false;
  EXPECT_EQ(rules.line(step, "R/f", Scope::singleFile).empty(), outcome == Outcome::noFreshDigest)
      << "outcome " << int(outcome) << " of " << rules.verb;
  return true;
}

// The file and the outcome a line of the report names, when it is a tree line of the mode: the
// line for it, where a failure's detail may be any text.
std::optional<std::pair<std::string, Outcome>> namedIn(const ModeRules& rules,
                                                       const std::string& line) {
  std::optional<std::pair<std::string, Outcome>> named;
  for (const auto& entry : kContents) {
    for (const Outcome outcome : rules.outcomes) {
      const std::string form = rules.line({outcome, "\x01"}, "R/" + entry.first, Scope::tree);
      const std::size_t detail = form.find("\x01");
      if (form.empty() || !line.starts_with(form.substr(0, detail)) ||
          (detail == std::string::npos ? line != form : !line.ends_with(form.substr(detail + 1))))
        continue;
      EXPECT_FALSE(named) << line << " reads as two lines of the mode";
      named = {entry.first, outcome};
    }
  }
  return named;
}

// What a report (its root written R) says: the outcome of each file it names, and the most of
// the files it does not name that it may have written, by an outcome that gets no line.
struct Report {
  std::map<std::string, Outcome> named;
  std::int64_t silentlyWritten = 0;
  std::int64_t total = 0;  // the files the summary counts
};

// Reads the report as lines of the mode, each naming another file, then the mode's summary of
// the total it states: of the named files' outcomes and of the rest shared among the silent
// outcomes, each way to share them tried in turn.
Report readReport(const ModeRules& rules, const std::string& out) {
  Report report;
  if (out == "\n") return report;  // the root could not be listed
  OutcomeCounts named;
  std::size_t at = 0;
  while (const auto line = namedIn(rules, out.substr(at, out.find('\n', at) - at))) {
    EXPECT_TRUE(report.named.insert(*line).second) << line->first << " named twice in " << out;
    named.add(line->second);
    at = out.find('\n', at) + 1;
  }
  const std::string summary = out.substr(at), head = std::string(rules.verb) + " a total of ";
  if (!summary.starts_with(head)) return ADD_FAILURE() << "no summary in " << out, report;
  const std::int64_t total = report.total = std::stoll(summary.substr(head.size())),
                     left = total - std::int64_t(report.named.size());
  EXPECT_LE(total, std::int64_t(kContents.size()));
  std::vector<Outcome> silentOnes;
  std::ranges::copy_if(rules.outcomes, std::back_inserter(silentOnes),
                       [&](Outcome outcome) { return silent(rules, outcome); });
  bool read = false;
  // Each way is a number whose digits, in base left + 1, are the silent outcomes' counts.
  const auto ways = left < 0 ? 0 : std::int64_t(std::pow(left + 1, silentOnes.size()));
  for (std::int64_t way = 0; way < ways; ++way) {
    OutcomeCounts all = named;
    std::int64_t shared = 0, written = 0, digits = way;
    for (const Outcome outcome : silentOnes) {
      const std::int64_t count = digits % (left + 1);
      digits /= left + 1;
      for (std::int64_t n = 0; n < count; ++n) all.add(outcome);
      shared += count;
      written += writes(outcome) ? count : 0;
    }
    if (shared != left ||
        summary != head + std::to_string(total) + " files in R" + rules.summaryEnd(all) + "\n")
      continue;
    read = true;
    report.silentlyWritten = std::max(report.silentlyWritten, written);
  }
  EXPECT_TRUE(read) << "the summary does not count the files of\n" << out;
  return report;
}

// Standard error (its root written R) names, once each, the entries of the tree left unread by
// the injected error, and does so whenever files are lost from the tree's total; ENOENT, nothing
// left to read, is not worth a line.
void checkUnread(const std::string& err, int error, bool filesLost) {
  EXPECT_TRUE(!filesLost || error == ENOENT || !err.empty()) << "files lost without a word";
  std::set<std::string> said;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.starts_with("vorbit v2: couldn't read R") &&
                line.ends_with(": " + std::string(std::strerror(error))) && error != ENOENT)
        << line;
    EXPECT_TRUE(said.insert(line).second) << line << " said twice";
  }
}

// Each mode of the table, its option word "-" and its letter.
class FaultInjectionTest : public TreeTest, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(FaultInjectionTest, EveryCallFailsInTurnAndNoWrongTagIsStored) {
  const ModeRules& rules = GetParam().rules;
  const std::string mode = std::string("-") + GetParam().letter, root = dir_ / "tree";
  makeTree(root);
  const ProcessResult baseline = runInProcess({mode, root, "1"}, nullptr);
  const Tags baselineTags = tagsOf(root);
  const auto openDescriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto descriptors = openDescriptors();
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
      EXPECT_EQ(openDescriptors(), descriptors) << "a run left a descriptor open";
      if (error == EINTR) {  // retried: as if nothing had happened
        EXPECT_EQ(result, baseline);
        EXPECT_EQ(tagsOf(root), baselineTags);
        continue;
      }
      if (faults.failed == SystemCall::write) {
        EXPECT_EQ(result.err,
                  "vorbit v2: write error: " + std::string(std::strerror(error)) + "\n");
        EXPECT_EQ(result.status, 1);
        continue;
      }
      EXPECT_EQ(result.status, 0);
      const Report report =
          readReport(rules, std::regex_replace(result.out, std::regex(root), "R"));
      checkUnread(std::regex_replace(result.err, std::regex(root), "R"), error,
                  report.total < std::int64_t(kContents.size()));
      const Tags after = tagsOf(root);
      std::int64_t unnamedWritten = 0;
      for (const auto& [name, contents] : kContents) {
        EXPECT_EQ(readFile(root + "/" + name), contents);
        const auto named = report.named.find(name);
        const bool unnamed = named == report.named.end(),
                   saysWritten = !unnamed && writes(named->second);
        if (!saysWritten && after.at(name) == before.at(name)) continue;
        EXPECT_EQ(after.at(name), sha256Of(contents)) << name << " holds a wrong tag or none";
        unnamedWritten += unnamed;
        EXPECT_TRUE(unnamed || saysWritten) << name << " changed, yet its line says otherwise";
      }
      EXPECT_LE(unnamedWritten, report.silentlyWritten) << "tags changed the report does not count";
    }
  }
  std::cout << "[ injected ] " << injected << " faults into vorbit " << mode << "\n";
  EXPECT_GT(injected, 100);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjectionTest, ::testing::ValuesIn(modeTable()),
                         [](const auto& info) { return std::string(1, info.param.letter); });

class RaceTest : public TreeTest {
 protected:
  const std::string root_ = dir_.mkdir("r"), secret_ = dir_.write("outside/secret", "s");
};

// Whether this process holds a descriptor of the device opened for more than its path (O_PATH
// runs no driver); opening /dev/ptmx makes a terminal, as opening a tape rewinds it.
bool deviceOpen(const std::string& device) {
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(fd.path(), error);
    if (error || (target != device && target != "/dev/pts/ptmx")) continue;
    const std::string info = readFile("/proc/self/fdinfo/" + fd.path().filename().string());
    const unsigned long flags = std::stoul(info.substr(info.find("flags:") + 6), nullptr, 8);
    if ((flags & O_PATH) == 0) return true;
  }
  return false;
}

// A name swapped for a link just before a call. A file renamed away and a link to outside the
// tree put in its place before it is tagged, or a directory before it is looked at or a file in
// it is opened, gets nothing; a file swapped just before its open is read through the link, as a
// run over the tree as it now is would. A link to a file retargeted to a device between the look
// that found a regular file and the open, or a name listed as a regular file swapped for a link
// to a device just before its open, never has the device opened: in a tree, opened ahead, or as
// the single target.
TEST_F(RaceTest, NameSwappedForALinkOutsideOrToADeviceIsNeverFollowedUnlessReadAsTheLink) {
  const std::string file = root_ + "/f", sub = root_ + "/sub", link = root_ + "/link",
                    outside = dir_ / "outside", device = "/dev/ptmx";
  // The run, the call (and the name it is given) before which the name is swapped for a link to
  // the destination, and whether the secret is then read through the link.
  const std::tuple<std::string, std::string, SystemCall, std::string, std::string, std::string,
                   bool>
      rows[] = {{"-t", root_, SystemCall::fsetxattr, "", file, secret_, false},
                {"-t", file, SystemCall::fsetxattr, "", file, secret_, false},
                {"-r", root_, SystemCall::fsetxattr, "", file, secret_, false},
                {"-t", root_, SystemCall::openat, "f", file, secret_, true},
                {"-t", root_, SystemCall::openat, "sub", sub, outside, false},
                {"-t", root_, SystemCall::openat, "secret", sub, outside, false},
                {"-c", root_, SystemCall::openat, "link", link, device, false},
                {"-c", link, SystemCall::open, link, link, device, false},
                {"-c", root_, SystemCall::openat, "f", file, device, false}};
  for (const auto& [mode, target, call, name, swapped, destination, readThrough] : rows) {
    SCOPED_TRACE(mode + " " + target + ": " + swapped + " made a link to " + destination +
                 " before the call on " + name);
    std::filesystem::remove_all(root_);
    ::removexattr(secret_.c_str(), kHashAttributeName);
    dir_.write(swapped == sub ? "r/sub/secret" : "r/f", "f");
    if (destination == device) std::filesystem::create_symlink(file, link);
    bool swappedYet = false, opened = false;
    Injector swap(1, 0, call, name, [&] {
      std::filesystem::rename(swapped, swapped + ".old");
      std::filesystem::create_symlink(destination, swapped);
      swappedYet = true;
    });
    swap.each = [&](SystemCall, std::string_view) {
      return opened = opened || (swappedYet && deviceOpen(device)), 0;
    };
    EXPECT_EQ(run({mode, target}, swap).err, "");
    EXPECT_TRUE(swappedYet);
    EXPECT_FALSE(opened);
    EXPECT_EQ(storedTag(secret_), readThrough ? std::optional(sha256Of("s")) : std::nullopt);
  }
}

TEST_F(RaceTest, ReleasedLevelReplacedOrLeftMeanwhileIsFoundAgainOnlyAsListed) {
  // Files on either side of a chain 40 levels deep in a: the walk keeps at most 32 directories
  // open, so it has released a by the time it opens the file at the chain's end, and must find
  // the same directory again for the files listed after the chain. The chain is moved out of
  // the tree then: climbing back through its "..", the walk finds another directory, holding
  // names like a's, and must find a again by its name; and where a was replaced too, what now
  // has its name is not the directory listed and gives nothing.
  std::string chain = "r/a";
  for (int level = 0; level < 40; ++level) chain += "/c";
  // Files f0 to f19 in the directory, with the contents.
  const auto files = [&](const std::string& directory, const std::string& contents) {
    for (int i = 0; i < 20; ++i) dir_.write(directory + "/f" + std::to_string(i), contents);
  };
  for (const bool replaced : {false, true}) {
    for (const char* made : {"r", "elsewhere", "a.old"}) std::filesystem::remove_all(dir_ / made);
    // Made before and after the chain, so that some are listed after it in creation order or
    // its reverse; a listing in hash order puts some after it too.
    dir_.write("r/a/f0", "old");
    dir_.write(chain + "/bottom", "b");
    files("r/a", "old");
    files("elsewhere", "decoy");
    const auto moveChain = [&] {
      std::filesystem::rename(root_ + "/a/c", dir_ / "elsewhere/c");
      if (replaced) std::filesystem::rename(root_ + "/a", dir_ / "a.old"), files("r/a", "new");
    };
    EXPECT_EQ(run({"-t", root_}, Injector(1, 0, SystemCall::openat, "bottom", moveChain)).err, "");
    EXPECT_EQ(storedTag(dir_ / "elsewhere" + chain.substr(3) + "/bottom"), sha256Of("b"));
    for (int i = 0; i < 20; ++i) {
      const std::string name = "/f" + std::to_string(i);
      EXPECT_EQ(storedTag(root_ + "/a" + name),
                replaced ? std::nullopt : std::optional<Bytes>(sha256Of("old")))
          << i;
      EXPECT_EQ(storedTag(dir_ / "elsewhere" + name), std::nullopt) << i;
    }
  }
}

// Without /proc (its opens fail as where it is not mounted, in a chroot say), a link given as the
// target is opened again by its name and read; one retargeted between the look at its target and
// that open is closed unread, since it is not the inode the look found. A link in a tree is read
// without /proc in the end-to-end runs under unshare and chroot.
TEST_F(RaceTest, WithoutProcALinkIsReadUnlessRetargetedBeforeItsOpenByName) {
  const std::string link = root_ + "/link", other = dir_.write("outside/other", "o");
  std::filesystem::create_symlink(secret_, link);
  const auto noProc = [](SystemCall, std::string_view name) {
    return name.starts_with("/proc/self/fd/") ? ENOENT : 0;
  };
  Injector retarget(2, 0, SystemCall::open, link, [&] {
    std::filesystem::remove(link);
    std::filesystem::create_symlink(other, link);
  });
  retarget.each = noProc;
  EXPECT_EQ(run({"-t", link}, retarget).out, "\n");
  EXPECT_EQ(storedTag(other), std::nullopt);
  Injector none(0, 0);
  none.each = noProc;
  EXPECT_EQ(run({"-t", link}, none).out, kTaggedFile + link + "\n");
  EXPECT_EQ(storedTag(other), sha256Of("o"));
}

// A read-only mount, an immutable file and a file system that keeps no user attributes at all
// (ramfs, where reading one fails too) refuse the tag: each mode says so and nothing is written.
TEST_F(RaceTest, RefusedTagsAreFailuresInEveryMode) {
  const std::string file = dir_.write("r/f", "f"), couldnt = kCouldntTag + file;
  for (const auto& [error, refused] : {std::pair(EROFS, SystemCall::fsetxattr),
                                       {EPERM, SystemCall::fsetxattr},
                                       {EOPNOTSUPP, SystemCall::fgetxattr}}) {
    SCOPED_TRACE(std::strerror(error));
    Injector refuse(0, 0);
    refuse.each = [&](SystemCall call, std::string_view) {
      return call == SystemCall::fsetxattr || call == refused ? error : 0;
    };
    EXPECT_EQ(run({"-t", root_}, refuse).out,
              couldnt + " " + std::strerror(error) + "\n" + tagSummary(root_, 1, 1));
    EXPECT_EQ(run({"-r", file}, refuse).out, couldnt + "\n");
    EXPECT_EQ(run({"-c", file}, refuse).out, kNoDigest + file + "\n");
    // The status line counts the failures as they come, in both modes that may have them.
    struct Attention final : ProgressReporter {
      void fileDone(const std::string&, std::int64_t, std::int64_t now) override { count = now; }
      void reading(const std::string&) override {}
      void finished() override {}
      std::int64_t count = 0;
    };
    for (const ModeRules* mode : {&kTagMode, &kRetagMode}) {
      Platform platform(&refuse);
      Attention attention;
      runOnTree(*mode, {platform, 1 << 16, &attention}, {root_, FileKind::directory, {}, root_});
      EXPECT_EQ(attention.count, 1) << mode->verb;
    }
  }
  EXPECT_EQ(storedTag(file), std::nullopt);
}

// A change of the change time alone staged mid-read (a chmod) gives the report of a run without
// it, in every mode; contents appended are a change: no mode tags the file, and check calls it
// changed where it has a tag. Which other changes are changes is told where a file is digested.
TEST_F(RaceTest, OnlyAChangeOfContentsMidReadIsAChange) {
  const std::string file = root_ + "/f", contents(3000, 'x');
  const std::map<std::string, std::string> changed = {
      {"-t", kCouldntTag + file + " File changed while it was read\n" + tagSummary(root_, 1, 1)},
      {"-r", kCouldntTag + file + "\n" + retagSummary(root_, 1, 0, 0, 0)},
      {"-c", "\u274C digests for " + file + " aren't equal.\n" + checkSummary(root_, 1, 0, 1, 0)},
      {"-c untagged", kNoDigest + file + "\n" + checkSummary(root_, 1, 0, 0, 1)}};
  for (const bool append : {false, true}) {
    for (const auto& [mode, out] : changed) {
      SCOPED_TRACE(mode + (append ? ", appended" : ", a chmod"));
      std::filesystem::remove_all(root_);
      dir_.write("r/f", contents);
      const bool tagged = mode != "-c untagged";
      if (tagged) storeTag(file, sha256Of(contents));
      const std::string option = mode.substr(0, 2);
      const ProcessResult quiet = runInProcess({option, root_, "1"}, nullptr);
      const auto change = [&] {
        if (append) writeFile(file, contents + "appended");
        if (!append) std::filesystem::permissions(file, std::filesystem::perms::owner_read);
      };
      // Read 1 KiB at a time: the second plain read comes after one read at least (the first
      // may be a read of what is cached) and before the end.
      EXPECT_EQ(run({option, root_, "1"}, Injector(2, 0, SystemCall::read, "", change)).out,
                append ? out : quiet.out);
      EXPECT_EQ(storedTag(file), tagged ? std::optional(sha256Of(contents)) : std::nullopt);
    }
  }
}

// A failing disk under a file without a tag: check's line says only that it has none, so the
// failed read is said on standard error too, for the weekly check to see.
TEST_F(RaceTest, FailedReadOfAFileWithoutATagIsSaidByCheck) {
  const std::string file = dir_.write("r/new", "new"), noDigest = kNoDigest + file + "\n",
                    unread = "vorbit v2: couldn't read " + file + ": " + std::strerror(EIO) + "\n";
  EXPECT_EQ(run({"-c", file}, Injector(1, EIO, SystemCall::read)),
            (ProcessResult{noDigest, unread, 0}));
  EXPECT_EQ(run({"-c", root_}, Injector(1, EIO, SystemCall::read)),
            (ProcessResult{noDigest + checkSummary(root_, 1, 0, 0, 1), unread, 0}));
}

TEST_F(RaceTest, RetagRecoveryMustFindTheInodeItRead) {
  const std::string file = dir_.write("r/f", "f"), other = dir_.write("other", "o");
  storeTag(file, sha256Of("stale"));
  const auto swap = [&] { std::filesystem::rename(other, file); };
  EXPECT_EQ(run({"-r", root_}, Injector(1, EIO, SystemCall::fsetxattr, "", swap)).out,
            kCouldntTag + file + "\n" + retagSummary(root_, 1, 0, 0, 0));
  EXPECT_EQ(storedTag(file), std::nullopt);
}

// A name is never looked up again: whatever was put in its place (a FIFO, a device) could be
// opened by that, and it was not what the walk listed.
TEST_F(RaceTest, FilesGoneOrReplacedWhileOpenedAheadGiveNothingAndAreNotLookedUpAgain) {
  for (int i = 0; i < 10; ++i)
    storeTag(dir_.write("r/f" + std::to_string(i), "old"), sha256Of("old"));
  std::vector<std::string> order;  // the walk's order is the file system's
  for (const auto& entry : std::filesystem::directory_iterator(root_))
    order.push_back(entry.path());
  // By the first file's tag read, at its turn, every file is open ahead of it.
  const auto change = [&] {
    std::filesystem::remove(order[3]);
    std::filesystem::rename(dir_.write("new", "new"), order[6]);
  };
  EXPECT_EQ(run({"-c", root_}, Injector(1, 0, SystemCall::fgetxattr, "", change)),
            (ProcessResult{checkSummary(root_, 10, 8, 0, 0), "", 0}));
}

TEST_F(RaceTest, MemoryRunningOutEndsTheRunWithAMessage) {
  dir_.write("r/f", "f");
  const auto exhaust = [] { throw std::bad_alloc(); };
  EXPECT_EQ(run({"-c", root_}, Injector(1, 0, SystemCall::fgetxattr, "", exhaust)),
            (ProcessResult{"", "vorbit v2: out of memory\n", 1}));
}

}  // namespace
}  // namespace vorbit
