// Memory at scale, measured on the built binary by /usr/bin/time. The large cases run only when
// VORBIT_SCALE_TESTS is set: they write a million files and read 4 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/test_support.h"

namespace vorbit {
namespace {

using testing::ProcessResult;
using testing::runVorbit;
using testing::TempDir;

constexpr long kMiB = 1024;  // /usr/bin/time reports kilobytes

// Runs vorbit under /usr/bin/time; returns the output and the peak RSS in KiB.
std::pair<std::string, long> runMeasured(const std::vector<std::string>& arguments) {
  const ProcessResult result = runVorbit(arguments, "", {"/usr/bin/time", "-f", "%M"});
  const std::string err = result.err.substr(0, result.err.size() - 1);
  return {result.out, std::stol(err.substr(err.rfind('\n') + 1))};
}

class ScaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's shadow memory makes RSS meaningless";
#endif
    if (!std::filesystem::exists("/usr/bin/time")) GTEST_SKIP() << "/usr/bin/time is missing";
  }

  static bool scaleTestsWanted() { return std::getenv("VORBIT_SCALE_TESTS") != nullptr; }

  TempDir dir_;
};

TEST_F(ScaleTest, LargestBufferCostsOnlyThePagesAReadTouches) {
  const std::string file = dir_.write("f", std::string(1 << 20, 'x'));
  const auto [out, peak] = runMeasured({"-t", file, "1048576"});
  EXPECT_EQ(out, "\u2705 tagged " + file + "\n");
  EXPECT_LT(peak, 16 * kMiB);
}

TEST_F(ScaleTest, MillionMatchingFilesStayUnder32MiB) {
  if (!scaleTestsWanted()) GTEST_SKIP() << "set VORBIT_SCALE_TESTS=1 to run";
  const std::string root = dir_.mkdir("million");
  for (int d = 0; d < 1000; ++d) {
    const std::string sub = root + "/d" + std::to_string(d);
    std::filesystem::create_directory(sub);
    for (int f = 0; f < 1000; ++f) {
      ::close(::open((sub + "/" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT, 0644));
    }
  }
  const auto [tagged, tagPeak] = runMeasured({"-t", root});
  EXPECT_EQ(tagged, "Tagged a total of 1000000 files in " + root + " with 0 errors.\n");
  const auto [checked, checkPeak] = runMeasured({"-c", root});
  EXPECT_EQ(checked, "Checked a total of 1000000 files in " + root +
                         "\n\t1000000 matched digest correctly\n\t0 didn't match their digest\n"
                         "\t0 had no digest.\n");
  std::cout << "[ peak RSS ] tag " << tagPeak << " KiB, check " << checkPeak << " KiB\n";
  EXPECT_LT(tagPeak, 32 * kMiB);
  EXPECT_LT(checkPeak, 32 * kMiB);
}

TEST_F(ScaleTest, SparseFourGibibyteFileWithTheLargestBuffer) {
  if (!scaleTestsWanted()) GTEST_SKIP() << "set VORBIT_SCALE_TESTS=1 to run";
  const std::string file = dir_ / "sparse";
  ASSERT_EQ(::truncate((testing::writeFile(file, ""), file.c_str()), 4LL << 30), 0);
  const auto [out, peak] = runMeasured({"-t", file, "1048576"});
  EXPECT_EQ(out, "\u2705 tagged " + file + "\n");
  EXPECT_LT(peak, 1024 * kMiB + 8 * kMiB);

  // The digest of 4 GiB of zeros, computed here in 1 MiB steps.
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  const std::string zeros(1 << 20, '\0');
  for (int i = 0; i < 4096; ++i) EVP_DigestUpdate(context, zeros.data(), zeros.size());
  Bytes expected(32);
  EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char*>(expected.data()), nullptr);
  EVP_MD_CTX_free(context);
  EXPECT_EQ(testing::storedTag(file), expected);
}

}  // namespace
}  // namespace vorbit
