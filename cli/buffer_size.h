#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorbit {

inline constexpr std::int64_t kDefaultBufferSize = 524288;
inline constexpr std::int64_t kSmallestBufferSize = 1024;
inline constexpr std::int64_t kLargestBufferSize = 1073741824;

// The text as a decimal integer: one optional sign, then ASCII digits only, fitting in 64 bits.
// Anything else, an overflow included, is not a number.
std::optional<std::int64_t> parseDecimalInteger(std::string_view text);

// The buffer size in bytes that a size argument in KB asks for, held to 1 KB .. 1 GiB; the
// default when the argument is not a number.
std::int64_t bufferSizeFromArgument(std::string_view argument);

}  // namespace vorbit
