#include "integrity/digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "integrity/tag_store.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

// A file with the short reads, read errors, changes and attribute races a disk cannot be made
// to give on demand.
class ScriptedFile final : public OpenFile {
 public:
  explicit ScriptedFile(std::string contents, std::vector<Bytes> values = {})
      : contents_(std::move(contents)), values_(std::move(values)) {}

  ReadResult read(std::span<std::byte> into) override {
    if (offset_ >= failAt_) return {0, EIO};
    const std::size_t n = std::min({into.size(), contents_.size() - offset_, readLimit_});
    std::memcpy(into.data(), contents_.data() + offset_, n);
    offset_ += n;
    return {n, 0};
  }
  // The change each call finds, the last one kept.
  FileChange changeSinceOpen() override {
    return changes_[std::min(changeCalls_++, changes_.size() - 1)];
  }
  // Goes back to the start, where the rewritten contents, if any, are found from now on.
  int rewind() override {
    ++rewinds_;
    if (rewritten_) contents_ = *rewritten_;
    offset_ = 0;
    return rewindError_;
  }
  FileIdentity identity() const override { return {}; }
  // The attribute's value at each call, the last one kept.
  XattrResult getxattr(const std::string&, std::span<std::byte> into) override {
    const Bytes& value = values_[std::min(getxattrCalls_++, values_.size() - 1)];
    if (!into.empty() && into.size() < value.size()) return {0, ERANGE};
    std::copy(value.begin(), value.begin() + (into.empty() ? 0 : value.size()), into.begin());
    return {value.size(), 0};
  }
  int setxattr(const std::string&, std::span<const std::byte>) override { return 0; }

  std::string contents_;
  std::vector<Bytes> values_;
  std::size_t readLimit_ = SIZE_MAX, failAt_ = SIZE_MAX, offset_ = 0, getxattrCalls_ = 0;
  std::vector<FileChange> changes_ = {FileChange::none};
  std::optional<std::string> rewritten_;
  std::size_t changeCalls_ = 0, rewinds_ = 0;
  int rewindError_ = 0;
};

// The digest in hexadecimal, or what a failure says.
std::string text(const FileDigest& digest) {
  if (const auto* bytes = std::get_if<Sha256Digest>(&digest)) return hexString(digestBytes(*bytes));
  const auto* failed = std::get_if<ReadFailure>(&digest);
  return failed != nullptr ? failed->description() : "no digest";
}

// Read 3 bytes at a time: known answers, and a read error is no digest, as no file is. A change
// of contents is a change at once; a change time alone that moved is read once more, and the
// digest counts only when both reads agree and the contents did not move meanwhile.
TEST(DigestTest, KnownAnswersThroughShortReadsAndOnlyAChangeOfContentsIsAChange) {
  using enum FileChange;
  const std::string x = hexString(sha256Of("x")), changed = "File changed while it was read";
  const struct {
    const char* what;
    std::string contents;
    std::vector<FileChange> changes;
    std::optional<std::string> rewritten;
    int rewindError;
    std::string digest;
    std::size_t rewinds = 0, failAt = SIZE_MAX;
  } rows[] = {
      // clang-format off
      {"empty", "", {none}, {}, 0,
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"a million a", std::string(1000000, 'a'), {none}, {}, 0,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"a read fails part-way", std::string(5000, 'x'), {none}, {}, 0, std::strerror(EIO), 0, 2048},
      {"contents changed", "x", {contents}, {}, 0, changed},
      {"a chmod during the read", "x", {changeTimeOnly, changeTimeOnly}, {}, 0, x, 1},
      {"change time, then none", "x", {changeTimeOnly, none}, {}, 0, x, 1},
      {"change time, then contents", "x", {changeTimeOnly, contents}, {}, 0, changed, 1},
      {"rewritten, its modification time put back", "x", {changeTimeOnly}, "y", 0, changed, 1},
      {"change time, and no second read", "x", {changeTimeOnly}, {}, EIO, changed, 1},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedFile file(row.contents);
    file.readLimit_ = 3;
    file.failAt_ = row.failAt;
    file.changes_ = row.changes;
    file.rewritten_ = row.rewritten;
    file.rewindError_ = row.rewindError;
    EXPECT_EQ(text(fileDigest(&file, 1024)), row.digest);
    EXPECT_EQ(file.rewinds_, row.rewinds);
  }
  EXPECT_TRUE(std::holds_alternative<NoFreshDigest>(fileDigest(nullptr, 1024)));
}

TEST(TagStoreTest, ValuesOfAnyLengthAndOnesThatShrankOrGrewAfterTheProbe) {
  const Bytes longValue = bytesOf(std::string(100, 'v')), shrunk = bytesOf(std::string(70, 's'));
  for (const Bytes& value : {Bytes{}, sha256Of("x"), bytesOf(std::string(64, 'h')), longValue}) {
    ScriptedFile file("", {value});
    EXPECT_EQ(readExtendedAttribute(file, kHashAttributeName).value(), value);
  }
  // A value that shrank is cut to what was copied; one that grew fails with ERANGE.
  ScriptedFile shrinking("", {longValue, longValue, shrunk});
  EXPECT_EQ(readExtendedAttribute(shrinking, kHashAttributeName).value(), shrunk);
  ScriptedFile growing("", {longValue, longValue, bytesOf(std::string(200, 'g'))});
  const Result<Bytes> grew = readExtendedAttribute(growing, kHashAttributeName);
  EXPECT_EQ(grew.ok() ? "read" : grew.error().description, std::strerror(ERANGE));
}

}  // namespace
}  // namespace vorbit
