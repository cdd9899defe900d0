#include "crypto/scalar25519.h"

namespace vl {
namespace {

// L in 32-bit words, little-endian.
constexpr std::uint32_t kOrder[9] = {0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de, 0,
                                     0,          0,          0x10000000, 0};

// r = r * 256 + byte, then r -= floor(r / 2^252) * L, which leaves r in (-L, L) because
// L exceeds 2^252 by less than 2^125; one addition of L fixes a negative result.
void shiftInByte(std::uint32_t r[9], std::uint8_t byte) {
  std::uint32_t carry = byte;
  for (int i = 0; i < 9; ++i) {
    const std::uint64_t t = static_cast<std::uint64_t>(r[i]) << 8 | carry;
    r[i] = static_cast<std::uint32_t>(t);
    carry = static_cast<std::uint32_t>(t >> 32);
  }
  const std::uint32_t q = r[7] >> 28 | r[8] << 4;  // r < 2^261, so q < 2^9
  std::int64_t borrow = 0;
  std::uint64_t productCarry = 0;
  for (int i = 0; i < 9; ++i) {
    const std::uint64_t product = static_cast<std::uint64_t>(q) * kOrder[i] + productCarry;
    productCarry = product >> 32;
    const std::int64_t d =
        static_cast<std::int64_t>(r[i]) - static_cast<std::int64_t>(product & 0xFFFFFFFFu) - borrow;
    r[i] = static_cast<std::uint32_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
  // A borrow out of the top word means the result is negative (r + 2^288 is stored).
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(borrow);
  std::uint64_t sum = 0;
  for (int i = 0; i < 9; ++i) {
    sum += static_cast<std::uint64_t>(r[i]) + (kOrder[i] & mask);
    r[i] = static_cast<std::uint32_t>(sum);
    sum >>= 32;
  }
}

}  // namespace

void scalarReduce(std::uint8_t out[32], const std::uint8_t in[64]) {
  std::uint32_t r[9] = {};
  for (int i = 63; i >= 0; --i) shiftInByte(r, in[i]);
  for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(r[i / 4] >> (8 * (i % 4)));
}

}  // namespace vl
