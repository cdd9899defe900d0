// The products of 64-bit hosts (radix 2^51, 128-bit partial products) against the
// ten-limb products that the boards run, and both against big integers: on loose inputs
// at their documented bounds and on all-ones limbs.
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

// The bounds documented in field25519.h.
constexpr std::int32_t kLooseEven = 102005473;   // 1.52 * 2^26
constexpr std::int32_t kLooseOdd = 51002736;     // 1.52 * 2^25
constexpr std::int32_t kCarriedEven = 33890598;  // 1.01 * 2^25
constexpr std::int32_t kCarriedOdd = 16945299;   // 1.01 * 2^24

std::int32_t looseBound(int limb) { return limb % 2 == 0 ? kLooseEven : kLooseOdd; }

// Limbs anywhere in the loose range, a quarter of them at one of its ends.
Fe randomLoose(std::mt19937_64& engine) {
  Fe f;
  for (int i = 0; i < 10; ++i) {
    const std::int64_t bound = looseBound(i);
    const std::uint64_t pick = engine();
    const std::int64_t limb = pick % 4 == 0
                                  ? (pick & 8 ? bound : -bound)
                                  : static_cast<std::int64_t>(engine() % (2 * bound + 1)) - bound;
    f.v[i] = static_cast<std::int32_t>(limb);
  }
  return f;
}

void expectCarried(const Fe& h) {
  for (int i = 0; i < 10; ++i) {
    EXPECT_LE(std::abs(h.v[i]), i % 2 == 0 ? kCarriedEven : kCarriedOdd) << "limb " << i;
  }
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
