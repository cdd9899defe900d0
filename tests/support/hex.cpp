#include "tests/support/hex.h"

#include <gtest/gtest.h>

#include <charconv>

namespace vl::testing {

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

std::vector<std::uint8_t> fromHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(text.size() % 2, 0u) << text;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    std::uint8_t byte = 0;
    const auto read = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    EXPECT_TRUE(read.ec == std::errc() && read.ptr == text.data() + i + 2) << text;
    bytes.push_back(byte);
  }
  return bytes;
}

}  // namespace vl::testing
