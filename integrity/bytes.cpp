#include "integrity/bytes.h"

namespace vorbit {

Bytes bytesOf(std::string_view text) {
  Bytes bytes(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<std::byte>(text[i]);
  return bytes;
}

std::string hexString(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (std::byte b : bytes) {
    const auto v = std::to_integer<unsigned>(b);
    hex.push_back(kDigits[v >> 4]);
    hex.push_back(kDigits[v & 0xF]);
  }
  return hex;
}

}  // namespace vorbit
