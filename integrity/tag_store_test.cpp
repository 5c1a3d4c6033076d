#include "integrity/tag_store.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux_platform.h"
#include "tests/fake_platform.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::bytesOf;
using testing::hexString;
using testing::sha256Of;
using testing::TempDir;

class TagStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::supportsUserXattrs(dir_.path())) {
      GTEST_SKIP() << "user extended attributes are not supported in " << dir_.path();
    }
    file_ = dir_.write("f", "contents");
  }

  Result<Bytes> read(const std::string& path) {
    return readExtendedAttribute(platform_, path, kHashAttributeName);
  }

  std::optional<PosixError> write(const std::string& path, const Bytes& value) {
    return writeExtendedAttribute(platform_, path, value, kHashAttributeName);
  }

  TempDir dir_;
  std::string file_;
  LinuxPlatform platform_;
};

TEST_F(TagStoreTest, WriteThenReadGivesTheSameBytesAndReplaces) {
  const Bytes first = sha256Of("first");
  const Bytes second = sha256Of("second");
  EXPECT_FALSE(write(file_, first));
  EXPECT_EQ(read(file_).value(), first);
  EXPECT_FALSE(write(file_, second));
  EXPECT_EQ(read(file_).value(), second);
}

TEST_F(TagStoreTest, ValuesOfEveryLengthComeBackUnchanged) {
  EXPECT_FALSE(write(file_, {}));
  ASSERT_TRUE(read(file_).ok());
  EXPECT_TRUE(read(file_).value().empty());
  for (const std::size_t length : {63, 64, 65, 4000}) {
    const Bytes value = bytesOf(std::string(length, 'h'));
    EXPECT_FALSE(write(file_, value));
    EXPECT_EQ(read(file_).value(), value) << length << " bytes";
  }
}

TEST_F(TagStoreTest, MissingAttributeIsAnErrorDescribedByStrerror) {
  const Result<Bytes> missing = read(file_);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENODATA);
  EXPECT_EQ(missing.error().description, std::strerror(ENODATA));
  const Result<Bytes> gone = read(dir_ / "gone");
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.error().description, std::strerror(ENOENT));
}

TEST_F(TagStoreTest, OtherAttributesAreLeftAlone) {
  ASSERT_EQ(::setxattr(file_.c_str(), "user.other", "keep", 4, 0), 0);
  EXPECT_FALSE(write(file_, sha256Of("x")));
  char value[16] = {};
  EXPECT_EQ(::getxattr(file_.c_str(), "user.other", value, sizeof value), 4);
  EXPECT_STREQ(value, "keep");
}

TEST_F(TagStoreTest, WriteThroughSymbolicLinkLandsOnTarget) {
  const std::string link = dir_ / "link";
  ASSERT_EQ(::symlink(file_.c_str(), link.c_str()), 0);
  EXPECT_FALSE(write(link, sha256Of("x")));
  EXPECT_EQ(testing::storedTag(file_), sha256Of("x"));
}

TEST(TagStoreRaceTest, LongValueThatShrankIsCutAndOneThatGrewFails) {
  const Bytes longValue = bytesOf(std::string(100, 'v'));
  FakePlatform fs;
  fs.addFile("/f", "");
  fs.setXattr("/f", kHashAttributeName, longValue);
  fs.replaceXattrAfterProbe("/f", kHashAttributeName, bytesOf(std::string(70, 's')));
  EXPECT_EQ(readExtendedAttribute(fs, "/f", kHashAttributeName).value(),
            bytesOf(std::string(70, 's')));

  fs.setXattr("/f", kHashAttributeName, longValue);
  fs.replaceXattrAfterProbe("/f", kHashAttributeName, {});
  EXPECT_EQ(readExtendedAttribute(fs, "/f", kHashAttributeName).value(), Bytes{});

  fs.setXattr("/f", kHashAttributeName, longValue);
  fs.replaceXattrAfterProbe("/f", kHashAttributeName, bytesOf(std::string(200, 'g')));
  const Result<Bytes> grew = readExtendedAttribute(fs, "/f", kHashAttributeName);
  ASSERT_FALSE(grew.ok());
  EXPECT_EQ(grew.error().code, ERANGE);
}

}  // namespace
}  // namespace vorbit
