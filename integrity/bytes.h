#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorbit {

// A byte string of any length, zero included. Two are equal when their lengths and all their
// bytes in order are equal, which std::vector's == gives.
using Bytes = std::vector<std::byte>;

// The bytes of a text, one for each char.
Bytes bytesOf(std::string_view text);

// Lower-case hexadecimal, two digits a byte.
std::string hexString(const Bytes& bytes);

}  // namespace vorbit
