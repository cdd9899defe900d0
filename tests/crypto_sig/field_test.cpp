// Unpacking, packing and the additive operations of the fixed-size field code against
// the big-integer type, on the values where limb arithmetic goes wrong: around p, around
// 2^255 and at 2^256 - 1. The products and powers are in field_wide_test.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
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
    EXPECT_EQ(fieldValue(fa), ra);
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

}  // namespace
}  // namespace vl
