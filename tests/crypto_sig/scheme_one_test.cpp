// Big-integer division, the step every modular operation rests on, where the quotient
// digit estimate needs correcting; and the two-dimensional ladder of scheme 1 against point
// arithmetic on the Weierstrass model: u([e]G + [s]Q) for random and edge scalars and for
// keys with odd and even v. On the boards too, where no oracle runs.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/ec.h"
#include "crypto/scheme_one.h"
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

struct Key {
  BigInt scalar;  // x' with [x']G = Q, the point of even v that the check rebuilds
  std::vector<std::uint8_t> k1;
  ECPoint q;
};

Key makeKey(const BigInt& x) {
  const Curve& curve = Curve::curve25519();
  const ECPoint q = ECPoint::base(curve).multiply(x);
  const bool odd = q.y().isOdd();
  return {odd ? testing::groupOrder() - x : x, testing::bytes32(q.montgomeryU()),
          odd ? q.negated() : q};
}

BigInt ladderU(const Key& key, const BigInt& e, const BigInt& s) {
  std::uint8_t u[32];
  EXPECT_TRUE(schemeOneCombination(key.k1.data(), testing::bytes32(e).data(),
                                   testing::bytes32(s).data(), u));
  return testing::fromBytes32(u);
}

TEST(SchemeOneLadder, MatchesPointArithmeticForEdgeAndRandomScalars) {
  const BigInt& l = testing::groupOrder();
  const BigInt top = (BigInt(1) << 256) - BigInt(1);
  const BigInt half = (BigInt(1) << 255) - BigInt(1);
  testing::RandomBytes random(3);
  // Q and -Q: both parities of v.
  const BigInt x = BigInt::fromBytesLE(random.take(32).data(), 32) % l;
  for (const Key& key : {makeKey(x), makeKey(l - x)}) {
    const BigInt r1 = BigInt::fromBytesLE(random.take(32).data(), 32);
    const BigInt r2 = BigInt::fromBytesLE(random.take(32).data(), 32);
    // s = -e/x' makes W the point at infinity: u = 0.
    const BigInt inverse = BigInt::powMod(key.scalar, l - BigInt(2), l);
    const BigInt cancel = (l - r1 % l) * inverse % l;
    const BigInt one(1), zero;
    const std::pair<BigInt, BigInt> scalars[] = {
        {zero, zero}, {one, zero},      {zero, one},       {one, one}, {l - one, l - one},
        {l, one},     {BigInt(2), l},   {half, BigInt(3)}, {top, top}, {top, zero},
        {r1, r1},     {r1, l - r1 % l}, {r1, r2},          {r2, top},  {r1, cancel}};
    for (const auto& [e, s] : scalars) {
      EXPECT_EQ(ladderU(key, e, s),
                ECPoint::base(Curve::curve25519()).multiply(e).add(key.q.multiply(s)).montgomeryU())
          << "e=" << e.toHex() << " s=" << s.toHex();
    }
  }
}

}  // namespace
}  // namespace vl
