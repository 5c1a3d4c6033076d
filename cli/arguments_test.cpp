#include <gtest/gtest.h>

#include <string>

#include "cli/buffer_size.h"
#include "cli/option_kind.h"

namespace vorbit {
namespace {

struct BufferSizeRow {
  const char* argument;
  std::int64_t bytes;
};

TEST(BufferSizeTest, ArgumentInKilobytesIsClampedOrIgnored) {
  const BufferSizeRow rows[] = {
      {"512", 524288},
      {"1", 1024},
      {"0", 1024},
      {"-5", 1024},
      {"-9223372036854775808", 1024},
      {"+64", 65536},
      {"0064", 65536},
      {"1048576", 1073741824},
      {"1048577", 1073741824},
      {"2000000", 1073741824},
      {"9223372036854775807", 1073741824},
      {"9223372036854775808", 524288},
      {"-9223372036854775809", 524288},
      {"12345678901234567890", 524288},
      {"12k", 524288},
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
  for (const BufferSizeRow& row : rows) {
    EXPECT_EQ(bufferSizeFromArgument(row.argument), row.bytes)
        << "argument \"" << row.argument << "\"";
  }
}

TEST(BufferSizeTest, DecimalIntegerReadsSignsAndLeadingZeros) {
  EXPECT_EQ(parseDecimalInteger("+0"), 0);
  EXPECT_EQ(parseDecimalInteger("-0"), 0);
  EXPECT_EQ(parseDecimalInteger("007"), 7);
  EXPECT_EQ(parseDecimalInteger("-12"), -12);
  EXPECT_EQ(parseDecimalInteger("12-"), std::nullopt);
}

struct OptionRow {
  const char* word;
  OptionKind kind;
};

TEST(OptionKindTest, FirstCharacterIsDroppedAndTheRestMatchedExactly) {
  const OptionRow rows[] = {
      {"-t", OptionKind::tag},
      {"-r", OptionKind::retag},
      {"-c", OptionKind::check},
      {"-h", OptionKind::help},
      {"+t", OptionKind::tag},
      {"xc", OptionKind::check},
      {"/r", OptionKind::retag},
      {"tt", OptionKind::tag},
      {"", OptionKind::unknown},
      {"-", OptionKind::unknown},
      {"t", OptionKind::unknown},
      {"--t", OptionKind::unknown},
      {"-T", OptionKind::unknown},
      {"-tr", OptionKind::unknown},
      {"-t ", OptionKind::unknown},
      {"-tag", OptionKind::unknown},
      {"-x", OptionKind::unknown},
      {"\xC3\xA9t", OptionKind::tag},   // é, two bytes
      {"e\xCC\x81t", OptionKind::tag},  // e + combining acute: one character
      {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"
       "c",
       OptionKind::check},  // a flag: two code points
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"
       "r",
       OptionKind::retag},              // thumbs up, skin tone
      {"\r\nh", OptionKind::help},      // CR LF is one cluster
      {"\xFFt", OptionKind::tag},       // a byte that is not UTF-8
      {"-\xCC\x81t", OptionKind::tag},  // the mark clings to the minus sign
      {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xAB"
       "c",
       OptionKind::unknown},
  };
  for (const OptionRow& row : rows) {
    EXPECT_EQ(classifyOption(row.word), row.kind) << "word \"" << row.word << "\"";
  }
}

}  // namespace
}  // namespace vorbit
