#include <gtest/gtest.h>

#include <string>

#include "cli/buffer_size.h"
#include "cli/option_kind.h"

namespace vorbit {
namespace {

TEST(BufferSizeTest, ArgumentInKilobytesIsClampedOrIgnored) {
  // Anything but a decimal integer that fits in 64 bits gives the default, 524288.
  const std::pair<std::int64_t, std::vector<const char*>> rows[] = {
      {1024, {"1", "0", "+0", "-0", "-5", "-9223372036854775808"}},
      {65536, {"+64", "0064", "64"}},
      {1073740800, {"1048575"}},
      {9216, {"9", "+9"}},
      {1073741824, {"1048576", "1048577", "9223372036854775807"}},
      {524288,
       {"512", "9223372036854775808", "-9223372036854775809", "12345678901234567890", "12k", "12-",
        "1.5", " 64", "64 ", "", "+", "-", "+-5", "++5", "--5", "1_000", "0x40",
        "\xD9\xA1" /* an Arabic-Indic digit one */}}};
  for (const auto& [bytes, arguments] : rows) {
    for (const char* argument : arguments) {
      EXPECT_EQ(bufferSizeFromArgument(argument), bytes) << '"' << argument << '"';
    }
  }
}

TEST(OptionKindTest, FirstCharacterIsDroppedAndTheRestMatchedExactly) {
  // é in two bytes; e and a combining acute; a flag (two code points); thumbs up and a skin
  // tone; CR LF, one cluster; a byte that is not UTF-8, which is a character of its own that no
  // mark clings to; a mark that clings to the minus sign.
  const std::pair<const char*, std::vector<const char*>> rows[] = {
      {"Tagged", {"-t", "\xC3\xA9t", "e\xCC\x81t", "\xFFt", "-\xCC\x81t"}},
      {"Retagged", {"-r", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBDr"}},
      {"Checked",
       {"-c",
        "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"
        "c"}},
      {"help", {"-h", "\r\nh"}},
      {"unknown",
       {"", "-", "-T", "-tr", "\xFF\xCC\x81t",
        "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xAB"
        "c"}}};
  for (const auto& [kind, words] : rows) {
    for (const char* word : words) {
      const Option option = classifyOption(word);
      EXPECT_EQ(option.kind == OptionKind::help      ? "help"
                : option.kind == OptionKind::unknown ? "unknown"
                                                     : option.mode->verb,
                std::string(kind))
          << word;
    }
  }
}

}  // namespace
}  // namespace vorbit
