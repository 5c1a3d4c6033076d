// Fuzzes the command line's words: the option word, the buffer-size text and the target path,
// split from the input at NUL bytes, against the rules they must keep whatever the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/buffer_size.h"
#include "cli/option_kind.h"
#include "cli/target_resolution.h"

namespace {

__extension__ typedef __int128 Wide;  // wide enough for any 64-bit value and one digit more

void require(bool condition) {
  if (!condition) std::abort();
}

// The buffer size the text asks for, by a second reading of the rule: a sign, then digits
// whose value, in 128 bits, must fit in 64.
std::int64_t expectedBufferSize(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return 524288;
  Wide value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 524288;
    value = value * 10 + (c - '0');
    if (value > (static_cast<Wide>(1) << 64)) return 524288;
  }
  if (negative) value = -value;
  if (value > INT64_MAX || value < INT64_MIN) return 524288;
  if (value < 1) return 1024;
  if (value > 1048576) return 1073741824;
  return static_cast<std::int64_t>(value) * 1024;
}

void checkBufferSize(std::string_view text) {
  const std::int64_t size = vorbit::bufferSizeFromArgument(text);
  require(size >= 1024 && size <= 1073741824 && size % 1024 == 0);
  require(size == expectedBufferSize(text));
}

void checkOption(std::string_view word) {
  const vorbit::OptionKind kind = vorbit::classifyOption(word);
  require(kind == vorbit::OptionKind::tag || kind == vorbit::OptionKind::retag ||
          kind == vorbit::OptionKind::check || kind == vorbit::OptionKind::help ||
          kind == vorbit::OptionKind::unknown);
  // In ASCII every character but CR before LF is a cluster of its own.
  bool ascii = !word.empty();
  for (const char c : word) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (!ascii) return;
  const std::string_view rest = word.substr(word.substr(0, 2) == "\r\n" ? 2 : 1);
  const vorbit::OptionKind expected = rest == "t"   ? vorbit::OptionKind::tag
                                      : rest == "r" ? vorbit::OptionKind::retag
                                      : rest == "c" ? vorbit::OptionKind::check
                                      : rest == "h" ? vorbit::OptionKind::help
                                                    : vorbit::OptionKind::unknown;
  require(kind == expected);
}

void checkPath(std::string_view path) {
  const std::string absolute = vorbit::absolutePath(path, std::string("/base/dir"));
  require(!absolute.empty() && absolute.front() == '/');
  require(absolute.find("//") == std::string::npos);
  require(absolute == "/" || absolute.back() != '/');
  require(absolute.find("/./") == std::string::npos);
  require(absolute.size() < 2 || absolute.substr(absolute.size() - 2) != "/.");
  require(vorbit::absolutePath(absolute, std::nullopt) == absolute);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\0');
  const std::size_t second = first == std::string_view::npos ? first : input.find('\0', first + 1);
  checkOption(input.substr(0, first));
  if (first != std::string_view::npos) checkBufferSize(input.substr(first + 1, second - first - 1));
  if (second != std::string_view::npos) checkPath(input.substr(second + 1));
  return 0;
}
