#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/directory_walk.h"
#include "integrity/tag_store.h"
#include "modes/mode_context.h"
#include "tests/fake_platform.h"
#include "tests/test_support.h"

namespace vorbit {

// A mode's operations over an in-memory tree, on either back-end.
class ModeTest : public ::testing::TestWithParam<DigestOperation> {
 protected:
  ModeContext context() { return ModeContext{fs_, 1024, GetParam(), walkDirectory}; }

  static std::string textOf(const ModeResult& result) {
    return result.ok() ? result.value()
                       : "fatal: buffer of " + std::to_string(result.error().bytes);
  }

  void addTagged(const std::string& path, const std::string& contents) {
    fs_.addFile(path, contents);
    fs_.setXattr(path, kHashAttributeName, testing::sha256Of(contents));
  }

  std::optional<Bytes> tagOf(const std::string& path) const {
    return fs_.xattr(path, kHashAttributeName);
  }

  static std::string describe(int code) { return std::strerror(code); }

  FakePlatform fs_;
};

#define VORBIT_BOTH_BACKENDS(suite)                                                      \
  INSTANTIATE_TEST_SUITE_P(                                                              \
      Backends, suite, ::testing::Values(&fileDigestCryptoKit, &fileDigestCommonCrypto), \
      [](const auto& info) { return info.index == 0 ? "CryptoKit" : "CommonCrypto"; })

}  // namespace vorbit
