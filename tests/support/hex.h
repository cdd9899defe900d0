// Hex texts for known answers and failure messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vl::testing {

// Two lower-case digits per byte.
std::string toHex(std::span<const std::uint8_t> bytes);
// The bytes of an even-length hex text; anything else fails the running test.
std::vector<std::uint8_t> fromHex(std::string_view text);

}  // namespace vl::testing
