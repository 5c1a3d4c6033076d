#include <gtest/gtest.h>

#include <string>

#include "cli/buffer_size.h"
#include "cli/option_kind.h"

namespace vorbit {
namespace {

TEST(BufferSizeTest, ArgumentInKilobytesIsClampedOrIgnored) {
  const struct {
    const char* argument;
    std::int64_t bytes;
  } rows[] = {
      {"512", 524288},
      {"1", 1024},
      {"0", 1024},
      {"+0", 1024},
      {"-0", 1024},
      {"-5", 1024},
      {"-9223372036854775808", 1024},
      {"+64", 65536},
      {"0064", 65536},
      {"1048575", 1073740800},
      {"1048576", 1073741824},
      {"1048577", 1073741824},
      {"9223372036854775807", 1073741824},
      // Not a decimal integer that fits in 64 bits: the default.
      {"9223372036854775808", 524288},
      {"-9223372036854775809", 524288},
      {"12345678901234567890", 524288},
      {"12k", 524288},
      {"12-", 524288},
      {"1.5", 524288},
      {" 64", 524288},
      {"64 ", 524288},
      {"", 524288},
      {"+", 524288},
      {"-", 524288},
      {"+-5", 524288},
      {"++5", 524288},
      {"--5", 524288},
      {"1_000", 524288},
      {"0x40", 524288},
      {"\xD9\xA1", 524288},  // an Arabic-Indic digit one is not an ASCII digit
  };
  for (const auto& row : rows) {
    EXPECT_EQ(bufferSizeFromArgument(row.argument), row.bytes) << '"' << row.argument << '"';
  }
}

TEST(OptionKindTest, FirstCharacterIsDroppedAndTheRestMatchedExactly) {
  using enum OptionKind;
  const struct {
    const char* word;
    OptionKind kind;
  } rows[] = {
      {"-t", tag},
      {"-r", retag},
      {"-c", check},
      {"-h", help},
      {"+t", tag},
      {"xc", check},
      {"/r", retag},
      {"tt", tag},
      {"", unknown},
      {"-", unknown},
      {"t", unknown},
      {"--t", unknown},
      {"-T", unknown},
      {"-tr", unknown},
      {"-t ", unknown},
      {"-tag", unknown},
      {"-x", unknown},
      {"\xC3\xA9t", tag},   // é, two bytes
      {"e\xCC\x81t", tag},  // e + combining acute: one character
      {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"
       "c",
       check},  // a flag: two code points
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"
       "r",
       retag},              // thumbs up, skin tone
      {"\r\nh", help},      // CR LF is one cluster
      {"\xFFt", tag},       // a byte that is not UTF-8
      {"-\xCC\x81t", tag},  // the mark clings to the minus sign
      {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xAB"
       "c",
       unknown},  // a flag and a half
  };
  for (const auto& row : rows) EXPECT_EQ(classifyOption(row.word), row.kind) << row.word;
}

}  // namespace
}  // namespace vorbit
