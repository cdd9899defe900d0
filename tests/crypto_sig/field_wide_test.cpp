// The field code against the big-integer type. Unpacking, packing and the additive
// operations on the values where limb arithmetic goes wrong: around p, around 2^255 and
// at 2^256 - 1. The products of 64-bit hosts (radix 2^51, 128-bit partial products)
// against the ten-limb products that the boards run, and both against big integers: on
// loose inputs at their documented bounds and on all-ones limbs.
// On a build without 128-bit integers both names are the same code and the big-integer
// checks remain.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "crypto/field25519.h"
#include "tests/crypto_sig/test_support.h"

namespace vl {
namespace {

using testing::fieldPrime;
using testing::fieldValue;
using testing::packedValue;

// Values as 32-byte inputs, four from each base: every one must unpack to itself mod p.
std::vector<BigInt> edgeValues() {
  const BigInt one(1), top = one << 255;
  std::vector<BigInt> values;
  for (const BigInt& base : {BigInt(0), BigInt(121664), fieldPrime() - one, top - BigInt(20),
                             top - one, top + BigInt(17), (one << 256) - BigInt(4),
                             (one << 230) - BigInt(2), (one << 26) - BigInt(2)}) {
    for (int k = 0; k < 4; ++k) values.push_back(base + BigInt(static_cast<std::uint64_t>(k)));
  }
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

TEST(Field, UnpackPackAndAdditiveOperationsMatchBigIntegersOnEdgeValues) {
  const BigInt& p = fieldPrime();
  const std::vector<BigInt> values = edgeValues();
  for (const BigInt& a : values) {
    SCOPED_TRACE(a.toHex());
    const Fe fa = unpack(a);
    const BigInt ra = a % p;
    EXPECT_EQ(packedValue(fa), ra);
    EXPECT_EQ(feIsZero(fa), ra.isZero() ? 1u : 0u);
    EXPECT_EQ(feIsOdd(fa), ra.isOdd() ? 1u : 0u);
    Fe h;
    feNeg(h, fa);
    EXPECT_EQ(packedValue(h), (p - ra) % p);
    for (const BigInt& b : values) {
      SCOPED_TRACE(b.toHex());
      const Fe fb = unpack(b);
      const BigInt rb = b % p;
      feAdd(h, fa, fb);
      EXPECT_EQ(packedValue(h), (ra + rb) % p);
      feSub(h, fa, fb);
      EXPECT_EQ(packedValue(h), (ra + p - rb) % p);
      EXPECT_EQ(feEqual(fa, fb), ra == rb ? 1u : 0u);
    }
  }
}

// The bounds documented in field25519.h: 1.52 * 2^26 (2^25 for odd limbs) for loose
// inputs, 1.01 * 2^25 (2^24) for carried results.
std::int32_t looseBound(int limb) { return limb % 2 == 0 ? 102005473 : 51002736; }

// Limbs anywhere in the loose range, a quarter of them at one of its ends.
Fe randomLoose(std::mt19937_64& engine) {
  Fe f;
  for (int i = 0; i < 10; ++i) {
    const std::int64_t bound = looseBound(i), pick = static_cast<std::int64_t>(engine() % 8);
    f.v[i] = static_cast<std::int32_t>(
        pick < 2 ? (pick ? bound : -bound)
                 : static_cast<std::int64_t>(engine() % (2 * bound + 1)) - bound);
  }
  return f;
}

void expectCarried(const Fe& h) {
  for (int i = 0; i < 10; ++i) EXPECT_LE(std::abs(h.v[i]), i % 2 ? 16945299 : 33890598) << i;
}

std::vector<std::uint8_t> packed(const Fe& f) {
  std::vector<std::uint8_t> s(32);
  feToBytes(s.data(), f);
  return s;
}

// Every limb at width (all ones) or at the loose bound, even and odd limbs signed
// independently (the largest column sums of either sign), against big integers; then
// random loose inputs against the ten-limb products. Results go back in as inputs.
TEST(FieldWide, ProductsMatchBigIntegersAndTheTenLimbProducts) {
  std::vector<Fe> patterns(8);
  for (int k = 0; k < 8; ++k) {
    for (int i = 0; i < 10; ++i) {
      const std::int32_t magnitude = k & 4 ? (i % 2 == 0 ? 0x3FFFFFF : 0x1FFFFFF) : looseBound(i);
      patterns[k].v[i] = (k >> (i % 2)) & 1 ? -magnitude : magnitude;
    }
  }
  const BigInt& p = fieldPrime();
  for (const Fe& f : patterns) {
    for (const Fe& g : patterns) {
      Fe h, fused;
      feMul(h, f, g);
      feSquareMul(fused, f, g);
      expectCarried(h);
      expectCarried(fused);
      EXPECT_EQ(testing::packedValue(h), fieldValue(f) * fieldValue(g) % p);
      EXPECT_EQ(testing::packedValue(fused), fieldValue(f) * fieldValue(f) % p * fieldValue(g) % p);
    }
  }
  std::mt19937_64 engine(2551);
  for (int i = 0; i < 20000 && !::testing::Test::HasFailure(); ++i) {
    Fe f = randomLoose(engine), g = randomLoose(engine), wide, narrow;
    for (int step = 0; step < 2; ++step, f = wide, g = narrow) {
      feMul(wide, f, g);
      feMul32(narrow, f, g);
      EXPECT_EQ(packed(wide), packed(narrow));
      feSquareMul(wide, f, g);
      feSquare32(narrow, f);
      feMul32(narrow, narrow, g);
      EXPECT_EQ(packed(wide), packed(narrow));
      feSquare(wide, f);
      feSquare32(narrow, f);
      expectCarried(wide);
      expectCarried(narrow);
      EXPECT_EQ(packed(wide), packed(narrow));
    }
  }
}

}  // namespace
}  // namespace vl
