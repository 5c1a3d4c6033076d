#pragma once

#include <cstddef>
#include <vector>

namespace vorbit {

// A byte string of any length, zero included. Two are equal when their lengths and all their
// bytes in order are equal, which std::vector's == gives.
using Bytes = std::vector<std::byte>;

}  // namespace vorbit
