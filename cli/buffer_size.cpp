#include "cli/buffer_size.h"

#include <algorithm>
#include <charconv>

namespace vorbit {

std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
  // from_chars takes a minus sign but not a plus sign; a plus must still be followed by a digit.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::int64_t bufferSizeFromArgument(std::string_view argument) {
  const std::optional<std::int64_t> kilobytes = parseDecimalInteger(argument);
  if (!kilobytes) return kDefaultBufferSize;
  return std::clamp(*kilobytes, kSmallestBufferSize / 1024, kLargestBufferSize / 1024) * 1024;
}

}  // namespace vorbit
