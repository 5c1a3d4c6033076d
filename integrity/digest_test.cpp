#include "integrity/digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "integrity/tag_store.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// What happens to a file on the disk between two of the calls that read it: before the nth call
// of a kind, an action runs, and the call then fails with the errno it returns (0: the call is
// made for real).
using Staging = std::map<std::pair<SystemCall, long>, std::function<int()>>;

struct Staged final : FaultInjector {
  explicit Staged(Staging at) : at(std::move(at)) {}
  int errorFor(SystemCall call, std::string_view) override {
    const auto action = at.find({call, ++seen[call]});
    return action == at.end() ? 0 : action->second();
  }
  Staging at;
  std::map<SystemCall, long> seen;  // the calls made of each kind
};

// The file, opened as a target by a platform that asks the injector.
std::unique_ptr<OpenFile> openTarget(Platform& platform, const std::string& path) {
  return platform.open({path, FileKind::regularFile, nullptr, path}).file;
}

// The digest in hexadecimal, or what a failure says.
std::string text(const FileDigest& digest) {
  if (const auto* bytes = std::get_if<Sha256Digest>(&digest)) return hexString(digestBytes(*bytes));
  const auto* failed = std::get_if<ReadFailure>(&digest);
  return failed != nullptr ? failed->description() : "no digest";
}

// Files read 1 KiB at a time: known answers, and a read error is no digest. Staged before the
// second read (or the first, the third of a second pass, or the rewind): a change of contents is a
// change at once; a change of the change time alone is read once more, and the digest counts only
// when both reads agree and the size and modification time did not move.
TEST(DigestTest, KnownAnswersAndOnlyAChangeOfContentsIsAChange) {
  TempDir dir;
  const std::string f = dir / "f", xs(3000, 'x'), x = hexString(sha256Of(xs)),
                    changed = "File changed while it was read";
  const auto fails = [](int error) { return [error] { return error; }; };
  const auto chmod = [&] { return ::chmod(f.c_str(), 0600); };
  const auto append = [&] { return writeFile(f, xs + "x"), 0; };
  const auto rewrite = [&] {
    struct stat st;
    ::stat(f.c_str(), &st);
    writeFile(f, std::string(3000, 'y'));
    const timespec times[2] = {st.st_atim, st.st_mtim};
    return ::utimensat(AT_FDCWD, f.c_str(), times, 0);
  };
  const timespec accessed[2] = {{1, 0}, {0, UTIME_OMIT}};
  const auto chown = [&] { return ::chown(f.c_str(), 65534, 65534); };
  const auto link = [&] { return ::link(f.c_str(), (f + "2").c_str()); };
  const auto attribute = [&] { return ::setxattr(f.c_str(), "user.o", "", 0, 0); };
  const auto access = [&] { return ::utimensat(AT_FDCWD, f.c_str(), accessed, 0); };
  const std::pair<SystemCall, long> second = {SystemCall::read, 2};
  const struct {
    const char* what;
    std::string contents;
    Staging at;
    std::string digest;
    long rewinds;
  } rows[] = {
      // clang-format off
      {"empty", "", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 0},
      {"a million a", std::string(1000000, 'a'), {},
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", 0},
      {"a read fails part-way", xs, {{second, fails(EIO)}}, std::strerror(EIO), 0},
      {"appended", xs, {{second, append}}, changed, 0},
      {"a chmod", xs, {{second, chmod}}, x, 1},
      {"a chown", xs, {{second, chown}}, x, 1},
      {"a new link", xs, {{second, link}}, x, 1},
      {"another attribute", xs, {{second, attribute}}, x, 1},
      {"the access time", xs, {{second, access}}, x, 1},
      {"a chmod, then appended", xs, {{second, chmod}, {{SystemCall::read, 7}, append}}, changed,
       1},
      {"rewritten, its modification time put back", xs, {{second, rewrite}}, changed, 1},
      {"empty, a chmod, and no second read", "",
       {{{SystemCall::read, 1}, chmod}, {{SystemCall::lseek, 1}, fails(EIO)}}, changed, 1},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(f + "2");
    writeFile(f, row.contents);
    // The change time a staged call moves must differ from the one the write left: file times
    // move a tick of the kernel's clock at a time, 10 ms at most.
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    Staged staged(row.at);
    Platform platform(&staged);
    const std::unique_ptr<OpenFile> file = openTarget(platform, f);
    EXPECT_EQ(text(fileDigest(file.get(), 1024)), row.digest);
    EXPECT_EQ(staged.seen[SystemCall::lseek], row.rewinds);
    // The bytes read, as the progress line counts them: each pass's, where the file was digested.
    if (row.digest.size() == 64) {
      EXPECT_EQ(platform.bytesRead(), row.contents.size() * (1 + row.rewinds));
    }
  }
  EXPECT_TRUE(std::holds_alternative<NoFreshDigest>(fileDigest(nullptr, 1024)));
}

// A file past 4 MiB is read from its start to its end: the kernel is told so, and may read
// further ahead; for a smaller one the call is not worth making.
TEST(DigestTest, OnlyAFilePast4MiBIsSaidToBeReadInOrder) {
  TempDir dir;
  for (const auto& [size, told] : {std::pair{(4 << 20) + 1, 1L}, {4 << 20, 0L}}) {
    Staged staged({});
    Platform platform(&staged);
    openTarget(platform, dir.write("f", std::string(size, 'x')));
    EXPECT_EQ(staged.seen[SystemCall::fadvise], told) << size;
  }
}

// Values of any length are read whole; one that shrank between the probe of its size and its
// read is cut to what was copied, and one that grew fails with ERANGE.
TEST(TagStoreTest, ValuesOfAnyLengthAndOnesThatShrankOrGrewAfterTheProbe) {
  TempDir dir;
  const std::string f = dir.write("f", "");
  const Bytes longValue = bytesOf(std::string(100, 'v'));
  const auto readAfter = [&](const Bytes& stored, std::optional<Bytes> changedTo) {
    storeTag(f, stored);
    Staged staged({{{SystemCall::fgetxattr, 3}, [&] {
                      if (changedTo) storeTag(f, *changedTo);
                      return 0;
                    }}});
    Platform platform(&staged);
    const std::unique_ptr<OpenFile> file = openTarget(platform, f);
    errno = EAGAIN;  // left by an earlier call: an empty value is no failure for it
    const Result<Bytes> read = readExtendedAttribute(*file, kHashAttributeName);
    return read.ok() ? read.value() : bytesOf(read.error().description);
  };
  for (const Bytes& value : {Bytes{}, sha256Of("x"), bytesOf(std::string(64, 'h')), longValue})
    EXPECT_EQ(readAfter(value, std::nullopt), value);
  EXPECT_EQ(readAfter(longValue, bytesOf(std::string(70, 's'))), bytesOf(std::string(70, 's')));
  EXPECT_EQ(readAfter(longValue, bytesOf(std::string(200, 'g'))), bytesOf(std::strerror(ERANGE)));
}

}  // namespace
}  // namespace vorbit
