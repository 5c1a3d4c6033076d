#include "integrity/digest.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/fake_platform.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::bytesOf;
using testing::hexString;
using testing::sha256Of;

std::string hexDigest(const FileDigest& digest) {
  const auto* bytes = std::get_if<Sha256Digest>(&digest);
  return bytes != nullptr ? hexString(digestBytes(*bytes)) : "no digest";
}

class DigestTest : public ::testing::Test {
 protected:
  std::string digestOf(const std::string& contents, std::int64_t bufferSize) {
    fs_.addFile("/f", contents);
    const FileDigest kit = fileDigestCryptoKit(fs_, {"/f"}, bufferSize);
    const FileDigest common = fileDigestCommonCrypto(fs_, {"/f"}, bufferSize);
    EXPECT_EQ(hexDigest(kit), hexDigest(common));
    return hexDigest(kit);
  }

  FakePlatform fs_;
};

TEST_F(DigestTest, KnownAnswers) {
  EXPECT_EQ(digestOf("", 1024), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digestOf("abc", 1024),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1024),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digestOf(std::string(1000000, 'a'), 1024),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(DigestTest, ChunkingNeverChangesTheDigest) {
  for (const std::int64_t buffer : {std::int64_t{1024}, std::int64_t{524288}}) {
    const std::size_t n = static_cast<std::size_t>(buffer);
    for (const std::size_t size : {n - 1, n, 3 * n, 3 * n + 1}) {
      std::string contents(size, '\0');
      for (std::size_t i = 0; i < size; ++i) contents[i] = static_cast<char>(i * 31 + i / 7);
      FakePlatform fs;
      fs.addFile("/f", contents);
      EXPECT_EQ(hexDigest(fileDigestCryptoKit(fs, {"/f"}, buffer)), hexString(sha256Of(contents)))
          << "size " << size << ", buffer " << buffer;
    }
  }
}

TEST_F(DigestTest, LargestBufferGivesTheSameDigestAndReadsAtItsSize) {
  const std::string contents(5000, 'x');
  fs_.addFile("/f", contents);
  EXPECT_EQ(hexDigest(fileDigestCommonCrypto(fs_, {"/f"}, 1073741824)),
            hexString(sha256Of(contents)));
  EXPECT_EQ(fs_.readSizes(), (std::vector<std::size_t>{1073741824, 1073741824}));
}

TEST_F(DigestTest, ShortReadsAreHashedInOrder) {
  const std::string contents = "short reads must still cover every byte in order";
  fs_.limitReadsTo(3);
  EXPECT_EQ(digestOf(contents, 1024), hexString(sha256Of(contents)));
}

TEST_F(DigestTest, UnopenableFileGivesNoFreshDigestAndNoRead) {
  fs_.addFile("/f", "x");
  fs_.failOpen("/f");
  EXPECT_TRUE(std::holds_alternative<NoFreshDigest>(fileDigestCryptoKit(fs_, {"/f"}, 1024)));
  EXPECT_TRUE(std::holds_alternative<NoFreshDigest>(fileDigestCryptoKit(fs_, {"/missing"}, 1024)));
  EXPECT_TRUE(fs_.readSizes().empty());
}

TEST_F(DigestTest, ReadFailurePartWayIsReportedWithItsErrno) {
  fs_.addFile("/f", std::string(5000, 'x'));
  fs_.failReadAfter("/f", 2048, EIO);
  const FileDigest digest = fileDigestCommonCrypto(fs_, {"/f"}, 1024);
  ASSERT_TRUE(std::holds_alternative<ReadFailure>(digest));
  EXPECT_EQ(std::get<ReadFailure>(digest).code, EIO);
}

TEST(ByteStringTest, EqualityNeedsEqualLengthAndBytes) {
  const Bytes digest = sha256Of("abc");
  Bytes lastByteChanged = digest;
  lastByteChanged.back() ^= std::byte{1};
  EXPECT_EQ(Bytes{}, Bytes{});
  EXPECT_NE(digest, lastByteChanged);
  EXPECT_NE(bytesOf(hexString(digest)), digest);
  EXPECT_EQ(digestBytes(Sha256Digest{}).size(), 32u);
}

}  // namespace
}  // namespace vorbit
