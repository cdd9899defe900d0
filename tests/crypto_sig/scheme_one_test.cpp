// The two-dimensional ladder of scheme 1 against point arithmetic on the Weierstrass
// model: u([e]G + [s]Q) for random and edge scalars and for keys with odd and even v.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/ec.h"
#include "crypto/scheme_one.h"
#include "tests/crypto_sig/test_support.h"

namespace vl {
namespace {

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

BigInt expectedU(const Key& key, const BigInt& e, const BigInt& s) {
  const ECPoint g = ECPoint::base(Curve::curve25519());
  return g.multiply(e).add(key.q.multiply(s)).montgomeryU();
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
  std::vector<Key> keys;
  // Keys until both parities of v are covered.
  bool seen[2] = {false, false};
  while (!seen[0] || !seen[1]) {
    const BigInt x = BigInt::fromBytesLE(random.take(32).data(), 32) % l;
    const bool odd = ECPoint::base(Curve::curve25519()).multiply(x).y().isOdd();
    if (seen[odd]) continue;
    seen[odd] = true;
    keys.push_back(makeKey(x));
  }
  for (const Key& key : keys) {
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
      EXPECT_EQ(ladderU(key, e, s), expectedU(key, e, s))
          << "e=" << e.toHex() << " s=" << s.toHex();
    }
    EXPECT_TRUE(ladderU(key, r1, cancel).isZero());
  }
}

}  // namespace
}  // namespace vl
