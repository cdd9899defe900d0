// The products of 64-bit hosts (radix 2^51, 128-bit partial products) against the
// ten-limb products that the boards run, and both against big integers: on loose inputs
// at their documented bounds, on all-ones limbs and on the values around p and 2^255.
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

// Every limb at width (all ones) or at the loose bound, with even and odd limbs signed
// independently: the largest column sums of either sign.
std::vector<Fe> extremePatterns() {
  std::vector<Fe> patterns;
  for (const bool allOnes : {true, false}) {
    for (const std::int32_t evenSign : {1, -1}) {
      for (const std::int32_t oddSign : {1, -1}) {
        Fe f;
        for (int i = 0; i < 10; ++i) {
          const std::int32_t magnitude =
              allOnes ? (i % 2 == 0 ? 0x3FFFFFF : 0x1FFFFFF) : looseBound(i);
          f.v[i] = (i % 2 == 0 ? evenSign : oddSign) * magnitude;
        }
        patterns.push_back(f);
      }
    }
  }
  return patterns;
}

// 0, 1, p - 1, p, p + 1 and 2^255 - 19 .. 2^255 - 1 as unpacked (limbs up to 2^26 + 18,
// none negative), as their negatives and as the sum of three carried copies.
std::vector<Fe> edgeElements() {
  const BigInt& p = fieldPrime();
  std::vector<BigInt> values = {BigInt(0), BigInt(1), p - BigInt(1), p, p + BigInt(1)};
  for (int k = 18; k >= 1; --k) values.push_back((BigInt(1) << 255) - BigInt(k));
  std::vector<Fe> elements;
  for (const BigInt& v : values) {
    const std::vector<std::uint8_t> bytes = testing::bytes32(v);
    Fe f, carried, sum;
    feFromBytes(f, bytes.data());
    elements.push_back(f);
    feNeg(sum, f);
    elements.push_back(sum);
    feCarry(carried, f);
    feAdd(sum, carried, carried);
    feAdd(sum, sum, carried);
    elements.push_back(sum);
  }
  return elements;
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

void expectSameProduct(const Fe& f, const Fe& g) {
  Fe wide, narrow;
  feMul(wide, f, g);
  feMul32(narrow, f, g);
  expectCarried(wide);
  expectCarried(narrow);
  EXPECT_EQ(packed(wide), packed(narrow));
}

void expectSameSquareProduct(const Fe& f, const Fe& g) {
  Fe fused, square, narrow;
  feSquareMul(fused, f, g);
  feSquare32(square, f);
  feMul32(narrow, square, g);
  expectCarried(fused);
  EXPECT_EQ(packed(fused), packed(narrow));
}

void expectSameSquare(const Fe& f) {
  Fe wide, narrow;
  feSquare(wide, f);
  feSquare32(narrow, f);
  expectCarried(wide);
  expectCarried(narrow);
  EXPECT_EQ(packed(wide), packed(narrow));
}

TEST(FieldWide, ProductsMatchTheTenLimbProductsOnRandomLooseInputs) {
  std::mt19937_64 engine(2551);
  for (int i = 0; i < 20000 && !::testing::Test::HasFailure(); ++i) {
    const Fe f = randomLoose(engine);
    const Fe g = randomLoose(engine);
    expectSameProduct(f, g);
    expectSameSquare(f);
    expectSameSquareProduct(f, g);
  }
}

TEST(FieldWide, ProductsMatchBigIntegersOnExtremeAndEdgeInputs) {
  std::vector<Fe> inputs = extremePatterns();
  for (const Fe& f : edgeElements()) inputs.push_back(f);
  const BigInt& p = fieldPrime();
  for (const Fe& f : inputs) {
    const BigInt a = fieldValue(f);
    for (const Fe& g : inputs) {
      SCOPED_TRACE(a.toHex() + " * " + fieldValue(g).toHex());
      Fe h;
      feMul(h, f, g);
      expectCarried(h);
      EXPECT_EQ(testing::packedValue(h), a * fieldValue(g) % p);
      feSquareMul(h, f, g);
      expectCarried(h);
      EXPECT_EQ(testing::packedValue(h), a * a % p * fieldValue(g) % p);
      expectSameProduct(f, g);
    }
    SCOPED_TRACE(a.toHex());
    Fe h;
    feSquare(h, f);
    expectCarried(h);
    EXPECT_EQ(testing::packedValue(h), a * a % p);
    expectSameSquare(f);
  }
}

// The small multiple and the power chains also run in radix 2^51 on such hosts (the
// chains keep it across their runs of squarings).
TEST(FieldWide, SmallMultiplesAndPowersMatchBigIntegersOnLooseInputs) {
  const BigInt& p = fieldPrime();
  const BigInt rootExponent = (p - BigInt(5)) >> 3;
  std::mt19937_64 engine(486662);
  std::vector<Fe> inputs = extremePatterns();
  for (int i = 0; i < 24; ++i) inputs.push_back(randomLoose(engine));
  const std::int32_t multipliers[] = {121665, 486662, -(1 << 24) + 1, (1 << 24) - 1, -1, 0};
  for (const Fe& f : inputs) {
    const BigInt a = fieldValue(f);
    SCOPED_TRACE(a.toHex());
    for (const std::int32_t n : multipliers) {
      Fe h;
      feMulSmall(h, f, n);
      expectCarried(h);
      const BigInt multiple = n < 0 ? (p - a * BigInt(static_cast<std::uint64_t>(-n)) % p) % p
                                    : a * BigInt(static_cast<std::uint64_t>(n)) % p;
      EXPECT_EQ(fieldValue(h), multiple) << "n = " << n;
    }
    Fe inverse, one;
    feInvert(inverse, f);
    expectCarried(inverse);
    feMul(one, inverse, f);
    EXPECT_EQ(testing::packedValue(one), BigInt(a.isZero() ? 0 : 1));
    Fe root;
    fePowP58(root, f);
    expectCarried(root);
    EXPECT_EQ(testing::packedValue(root), BigInt::powMod(a, rootExponent, p));
  }
}

// Results go straight back in and in place, as in the power chains, and sums of three
// results are valid inputs again, as in the ladder.
TEST(FieldWide, ChainedResultsStayValidInputs) {
  for (const Fe& start : extremePatterns()) {
    Fe square = start, product = start;
    Fe square32 = start, product32 = start;
    for (int i = 0; i < 200; ++i) {
      feSquare(square, square);
      feSquare32(square32, square32);
      feMul(product, product, square);
      feMul32(product32, product32, square32);
      feSquareMul(product, product, square);
      feSquare32(product32, product32);
      feMul32(product32, product32, square32);
      ASSERT_EQ(packed(square), packed(square32)) << "step " << i;
      ASSERT_EQ(packed(product), packed(product32)) << "step " << i;
      Fe loose;
      feSub(loose, square, product);
      feSub(loose, loose, product);
      expectSameProduct(loose, square);
      expectSameSquare(loose);
    }
    expectCarried(square);
    expectCarried(product);
  }
}

}  // namespace
}  // namespace vl
