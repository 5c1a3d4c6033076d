// Fuzzes the command line's words, split from the input at NUL bytes (option word, buffer-size
// text, target path), against the rules they keep whatever the input; the unit tables hold the
// exact answers.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/buffer_size.h"
#include "cli/option_kind.h"
#include "cli/target_resolution.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size), words[3];
  for (std::string_view& word : words) {
    word = rest.substr(0, rest.find('\0'));
    rest.remove_prefix(std::min(word.size() + 1, rest.size()));
  }
  const auto require = [](bool rule) {
    if (!rule) std::abort();
  };
  vorbit::classifyOption(words[0]);
  vorbit::bufferSizeFromArgument(words[1]);
  const std::string absolute = vorbit::absolutePath(words[2], std::string("/base/dir"));
  require(absolute.front() == '/' && absolute.find("//") == std::string::npos);
  require(absolute == "/" || (absolute.back() != '/' && !absolute.ends_with("/.")));
  require(absolute.find("/./") == std::string::npos);
  require(vorbit::absolutePath(absolute, std::nullopt) == absolute);
  return 0;
}
