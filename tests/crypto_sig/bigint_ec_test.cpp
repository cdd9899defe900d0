// The big-integer type and the point class: division (the step every modular operation
// rests on), the group law, and the byte form of points with its assertion.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/bigint.h"
#include "crypto/ec.h"
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
  std::vector<std::pair<BigInt, BigInt>> cases = {
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
  testing::RandomBytes random(11);
  for (int i = 0; i < 200; ++i) {
    const auto a = random.take(1 + i % 70);
    const auto b = random.take(1 + (i * 7) % 40);
    cases.push_back(
        {BigInt::fromBytesLE(a.data(), a.size()), BigInt::fromBytesLE(b.data(), b.size())});
  }
  for (const auto& [a, b] : cases) {
    if (b.isZero()) continue;
    BigInt q, r;
    ASSERT_TRUE(BigInt::divMod(a, b, q, r));
    EXPECT_EQ(q * b + r, a) << a.toHex() << " / " << b.toHex();
    EXPECT_LT(r, b) << a.toHex() << " / " << b.toHex();
  }
}

TEST(BigInt, DivisionByZeroFailsAndLeavesOutputs) {
  BigInt q(3), r(4);
  EXPECT_FALSE(BigInt::divMod(BigInt(10), BigInt(), q, r));
  EXPECT_EQ(q, BigInt(3));
  EXPECT_EQ(r, BigInt(4));
}

TEST(BigInt, BytesThatDoNotFitLeaveTheOutputUntouched) {
  std::uint8_t out[3] = {0xAA, 0xAA, 0xAA};
  EXPECT_FALSE(BigInt(0x1000000).toBytesLE(out, 3));
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_TRUE(BigInt(0xFFFFFF).toBytesLE(out, 3));
  EXPECT_EQ(out[2], 0xFF);
  EXPECT_EQ(BigInt::fromHex("00ff"), BigInt(255));
  EXPECT_FALSE(BigInt::fromHex("0x12").has_value());
  EXPECT_FALSE(BigInt::fromHex("").has_value());
}

class Points : public ::testing::Test {
 protected:
  const Curve& curve = Curve::curve25519();
  const ECPoint g = ECPoint::base(curve);
};

TEST_F(Points, BaseIsOnTheCurveWithEvenVAndOrderL) {
  EXPECT_TRUE(g.isOnCurve());
  EXPECT_EQ(g.montgomeryU(), BigInt(9));
  EXPECT_FALSE(g.y().isOdd());
  EXPECT_TRUE(g.multiply(testing::groupOrder()).isInfinity());
  EXPECT_EQ(g.multiply(testing::groupOrder() + BigInt(1)), g);
  EXPECT_TRUE(g.add(g.negated()).isInfinity());
  EXPECT_TRUE(g.multiply(BigInt()).isInfinity());
}

TEST_F(Points, MultiplicationAgreesWithRepeatedAddition) {
  ECPoint sum(curve);
  for (std::uint64_t k = 1; k <= 24; ++k) {
    sum = sum.add(g);
    const ECPoint product = g.multiply(BigInt(k));
    EXPECT_EQ(product, sum) << k;
    EXPECT_TRUE(product.isOnCurve()) << k;
  }
  EXPECT_EQ(g.multiply(BigInt(12)), g.multiply(BigInt(6)).twice());
}

TEST_F(Points, BinaryFormRoundTrips) {
  const ECPoint p = g.multiply(BigInt(123456789));
  const std::vector<unsigned char> bin = p.toBin(32);
  ASSERT_EQ(bin.size(), 65u);
  EXPECT_EQ(bin[0], 0x04);
  EXPECT_EQ(ECPoint::fromBin(curve, bin.data(), bin.size()), p);
  // Short coordinates get leading zeros.
  const std::vector<unsigned char> small = ECPoint(curve, BigInt(5), BigInt(0x0102)).toBin(4);
  EXPECT_EQ(small, (std::vector<unsigned char>{4, 0, 0, 0, 5, 0, 0, 1, 2}));
}

TEST_F(Points, DecoderRefusesOtherForms) {
  const std::vector<unsigned char> bin = g.toBin(32);
  std::vector<unsigned char> wrongPrefix = bin;
  wrongPrefix[0] = 0x02;
  const std::vector<unsigned char> unequal(bin.begin(), bin.end() - 1);
  const std::vector<unsigned char> prefixOnly = {0x04};
  for (const auto& input : {wrongPrefix, unequal, prefixOnly}) {
    EXPECT_TRUE(ECPoint::fromBin(curve, input.data(), input.size()).isInfinity());
  }
  EXPECT_TRUE(ECPoint::fromBin(curve, nullptr, 0).isInfinity());
}

TEST_F(Points, ToBinStopsTheProgramWhenACoordinateDoesNotFit) {
  const ECPoint p = g.multiply(BigInt(987654321));
  ASSERT_EQ(p.x().toBytesBE().size(), 32u);
  // Only the start is pinned: under an emulator more lines may follow the message.
  EXPECT_DEATH((void)p.toBin(31),
               "^crypto_sig_test: ec: [0-9]+: vector<unsigned char> ECPoint::toBin\\(unsigned "
               "int\\) const: Assertion `tmp\\.size\\(\\) == len' failed\\.\n");
}

}  // namespace
}  // namespace vl
