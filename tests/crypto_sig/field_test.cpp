// The fixed-size field code against the big-integer type on the values where limb
// arithmetic goes wrong: around p, around 2^255, at 2^256 - 1 and at the limb bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "crypto/field25519.h"
#include "test_support.h"

namespace vl {
namespace {

using testing::fieldPrime;
using testing::fieldValue;
using testing::packedValue;

BigInt powerOfTwo(std::size_t n) { return BigInt(1) << n; }

// Values as 32-byte inputs: every one of them must unpack to itself mod p.
std::vector<BigInt> edgeValues() {
  const BigInt& p = fieldPrime();
  std::vector<BigInt> values = {BigInt(0),
                                BigInt(1),
                                BigInt(2),
                                BigInt(19),
                                BigInt(121666),
                                p - BigInt(1),
                                p,
                                p + BigInt(1),
                                p + BigInt(17),
                                powerOfTwo(255) - BigInt(1),
                                powerOfTwo(255),
                                powerOfTwo(255) + BigInt(18),
                                powerOfTwo(255) + BigInt(19),
                                powerOfTwo(256) - BigInt(1),
                                powerOfTwo(255) - BigInt(20),
                                powerOfTwo(230),
                                powerOfTwo(230) - BigInt(1),
                                powerOfTwo(26) - BigInt(1)};
  testing::RandomBytes random(7);
  for (int i = 0; i < 6; ++i) values.push_back(BigInt::fromBytesLE(random.take(32).data(), 32));
  return values;
}

Fe unpack(const BigInt& value) {
  const std::vector<std::uint8_t> bytes = testing::bytes32(value);
  Fe f;
  feFromBytes(f, bytes.data());
  return f;
}

TEST(Field, UnpackTakesAll256BitsAndPacksCanonically) {
  const BigInt& p = fieldPrime();
  for (const BigInt& v : edgeValues()) {
    SCOPED_TRACE(v.toHex());
    const Fe f = unpack(v);
    EXPECT_EQ(fieldValue(f), v % p);
    EXPECT_EQ(packedValue(f), v % p);
    EXPECT_EQ(feIsZero(f), (v % p).isZero() ? 1u : 0u);
    EXPECT_EQ(feIsOdd(f), (v % p).isOdd() ? 1u : 0u);
  }
}

TEST(Field, OperationsMatchBigIntegersOnEdgeValues) {
  const BigInt& p = fieldPrime();
  const std::vector<BigInt> values = edgeValues();
  for (const BigInt& a : values) {
    for (const BigInt& b : values) {
      SCOPED_TRACE(a.toHex() + " " + b.toHex());
      const Fe fa = unpack(a);
      const Fe fb = unpack(b);
      const BigInt ra = a % p, rb = b % p;
      Fe h;
      feMul(h, fa, fb);
      EXPECT_EQ(packedValue(h), ra * rb % p);
      feAdd(h, fa, fb);
      EXPECT_EQ(packedValue(h), (ra + rb) % p);
      feSub(h, fa, fb);
      EXPECT_EQ(packedValue(h), (ra + p - rb) % p);
      EXPECT_EQ(feEqual(fa, fb), ra == rb ? 1u : 0u);
    }
  }
}

TEST(Field, PowersMatchBigIntegersOnEdgeValues) {
  const BigInt& p = fieldPrime();
  const BigInt inverseExponent = p - BigInt(2);
  const BigInt rootExponent = (p - BigInt(5)) >> 3;
  for (const BigInt& v : edgeValues()) {
    SCOPED_TRACE(v.toHex());
    const Fe f = unpack(v);
    Fe h;
    feSquare(h, f);
    EXPECT_EQ(packedValue(h), (v % p) * (v % p) % p);
    feMulSmall(h, f, 121665);
    EXPECT_EQ(packedValue(h), (v % p) * BigInt(121665) % p);
    feInvert(h, f);
    EXPECT_EQ(packedValue(h), BigInt::powMod(v, inverseExponent, p));
    fePowP58(h, f);
    EXPECT_EQ(packedValue(h), BigInt::powMod(v, rootExponent, p));
    feNeg(h, f);
    EXPECT_EQ(packedValue(h), (p - v % p) % p);
  }
}

// Limb patterns at the documented input bound of the multiplications (sums of up to
// three carried values), with both signs: a limb product or a 19/38 multiple that
// overflows shows as a wrong result here and as an error under the sanitizer.
TEST(Field, MultiplicationHoldsAtTheLooseLimbBounds) {
  constexpr std::int32_t kEven = 102005473;  // 1.52 * 2^26
  constexpr std::int32_t kOdd = 51002736;    // 1.52 * 2^25
  auto pattern = [](std::int32_t evenSign, std::int32_t oddSign, std::int32_t even,
                    std::int32_t odd) {
    Fe f;
    for (int i = 0; i < 10; ++i) f.v[i] = i % 2 == 0 ? evenSign * even : oddSign * odd;
    return f;
  };
  const std::vector<Fe> patterns = {
      pattern(1, 1, kEven, kOdd),           pattern(-1, -1, kEven, kOdd),
      pattern(1, -1, kEven, kOdd),          pattern(-1, 1, kEven, kOdd),
      pattern(1, 1, 0x3FFFFFF, 0x1FFFFFF),  // every limb all ones
      pattern(-1, -1, 0x3FFFFFF, 0x1FFFFFF)};
  const BigInt& p = fieldPrime();
  for (const Fe& f : patterns) {
    for (const Fe& g : patterns) {
      const BigInt expected = fieldValue(f) * fieldValue(g) % p;
      Fe h;
      feMul(h, f, g);
      EXPECT_EQ(fieldValue(h), expected);
      EXPECT_EQ(packedValue(h), expected);
      for (int i = 0; i < 10; ++i) {
        EXPECT_LE(std::abs(h.v[i]), i % 2 == 0 ? 33890598 : 16945299) << "limb " << i;
      }
    }
    Fe h;
    feSquare(h, f);
    EXPECT_EQ(fieldValue(h), fieldValue(f) * fieldValue(f) % p);
    feMulSmall(h, f, 486662);
    EXPECT_EQ(fieldValue(h), fieldValue(f) * BigInt(486662) % p);
    EXPECT_EQ(packedValue(f), fieldValue(f));
  }
}

}  // namespace
}  // namespace vl
