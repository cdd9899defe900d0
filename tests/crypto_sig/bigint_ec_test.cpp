// Division of the big-integer type, the step every modular operation rests on, where the
// quotient digit estimate needs correcting: on the boards too, where no oracle runs.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/bigint.h"
#include "tests/crypto_sig/test_support.h"

namespace vl {
namespace {

BigInt words(std::initializer_list<std::uint32_t> mostSignificantFirst) {
  BigInt r;
  for (std::uint32_t w : mostSignificantFirst) r = (r << 32) + BigInt(w);
  return r;
}

// Dividends and divisors where the quotient digit estimate is off and must be
// corrected, including the add-back step (top divisor words 0x80000000 and
// 0xFFFFFFFF, a dividend one below a multiple, single-word divisors).
TEST(BigInt, DivisionSatisfiesTheDivisionIdentity) {
  const std::pair<BigInt, BigInt> cases[] = {
      {words({0x7FFF8000, 0, 0, 0}), words({0x80000000, 1})},
      {words({0x80000000, 0, 0, 3}), words({0x80000000, 0, 1})},
      {words({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}), words({0xFFFFFFFF, 0xFFFFFFFF})},
      {words({0x00007FFF, 0x0000FFFF, 0, 0}), words({0x00008000, 0x00000001})},
      {words({0x80000000, 0, 0}), words({0x80000000, 1})},
      {words({1, 0, 0, 0, 0}), words({1, 0, 0, 1})},
      {words({0x12345678, 0x9ABCDEF0}), BigInt(7)},
      {BigInt(5), BigInt(9)},
      {testing::fieldPrime() * testing::fieldPrime() - BigInt(1), testing::fieldPrime()},
  };
  for (const auto& [a, b] : cases) {
    BigInt q, r;
    ASSERT_TRUE(BigInt::divMod(a, b, q, r));
    EXPECT_EQ(q * b + r, a) << a.toHex() << " / " << b.toHex();
    EXPECT_LT(r, b) << a.toHex() << " / " << b.toHex();
  }
}

}  // namespace
}  // namespace vl
