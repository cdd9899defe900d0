// Curve25519 field arithmetic in ten signed 32-bit limbs, radix 2^25.5. Limb bounds
// are listed in field25519.h; the comments here name the bound each step relies on.
#include "crypto/field25519.h"

namespace vl {
namespace {

constexpr int kWidth[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int kWeight[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
// p in limbs, each at its full width: 2^26 - 19, then 2^25 - 1 and 2^26 - 1 alternately.
constexpr std::int32_t kP[10] = {0x3FFFFED, 0x1FFFFFF, 0x3FFFFFF, 0x1FFFFFF, 0x3FFFFFF,
                                 0x1FFFFFF, 0x3FFFFFF, 0x1FFFFFF, 0x3FFFFFF, 0x1FFFFFF};

inline std::int64_t wide(std::int32_t x) { return x; }

// Moves the part of a limb above its width (rounded to nearest, so the limb ends in
// [-2^(w-1), 2^(w-1))) into the next limb.
template <int kWidthBits>
[[gnu::always_inline]] inline void carryInto(std::int64_t& from, std::int64_t& to) {
  const std::int64_t c = (from + (std::int64_t{1} << (kWidthBits - 1))) >> kWidthBits;
  to += c;
  from -= c * (std::int64_t{1} << kWidthBits);
}

// Limb 9 carries into limb 0 times 19, as 2^255 = 19 (mod p).
[[gnu::always_inline]] inline void carryAround(std::int64_t& h9, std::int64_t& h0) {
  const std::int64_t c = (h9 + (std::int64_t{1} << 24)) >> 25;
  h0 += c * 19;
  h9 -= c * (std::int64_t{1} << 25);
}

// Column sums below 2^62 in, carried limbs out. The order keeps every limb that
// receives a carry after its own carry small: the last carries are at most 2^15.
// Written out so that the limbs stay in registers.
[[gnu::always_inline]] inline void carryWide(Fe& out, std::int64_t h0, std::int64_t h1,
                                             std::int64_t h2, std::int64_t h3, std::int64_t h4,
                                             std::int64_t h5, std::int64_t h6, std::int64_t h7,
                                             std::int64_t h8, std::int64_t h9) {
  carryInto<26>(h0, h1);
  carryInto<26>(h4, h5);
  carryInto<25>(h1, h2);
  carryInto<25>(h5, h6);
  carryInto<26>(h2, h3);
  carryInto<26>(h6, h7);
  carryInto<25>(h3, h4);
  carryInto<25>(h7, h8);
  carryInto<26>(h4, h5);
  carryInto<26>(h8, h9);
  carryAround(h9, h0);
  carryInto<26>(h0, h1);
  out.v[0] = static_cast<std::int32_t>(h0);
  out.v[1] = static_cast<std::int32_t>(h1);
  out.v[2] = static_cast<std::int32_t>(h2);
  out.v[3] = static_cast<std::int32_t>(h3);
  out.v[4] = static_cast<std::int32_t>(h4);
  out.v[5] = static_cast<std::int32_t>(h5);
  out.v[6] = static_cast<std::int32_t>(h6);
  out.v[7] = static_cast<std::int32_t>(h7);
  out.v[8] = static_cast<std::int32_t>(h8);
  out.v[9] = static_cast<std::int32_t>(h9);
}

// Floor carries over limbs 0..8 of non-negative-total limbs: afterwards limbs 0..8 are
// in [0, 2^w) and limb 9 holds the rest.
void carryFloorLow(std::int32_t h[10]) {
  for (int i = 0; i < 9; ++i) {
    const std::int32_t c = h[i] >> kWidth[i];
    h[i] -= static_cast<std::int32_t>(static_cast<std::uint32_t>(c) << kWidth[i]);
    h[i + 1] += c;
  }
}

// 1 when x == y, without a branch.
inline std::uint32_t equalMask(std::uint32_t x, std::uint32_t y) {
  const std::uint32_t d = x ^ y;
  return ((d | (0u - d)) >> 31) ^ 1u;
}

// For limbs 0..8 at their widths and limb 9 in [0, 2^25]: 1 when the value is not
// below p, i.e. limb 9 reached 2^25, or every limb is at its maximum and limb 0 is at
// least 2^26 - 19.
std::uint32_t notBelowP(const std::int32_t h[10]) {
  std::uint32_t top = static_cast<std::uint32_t>(h[9]) >> 25;
  std::uint32_t all = 1;
  for (int i = 1; i < 10; ++i) {
    all &= equalMask(static_cast<std::uint32_t>(h[i]), static_cast<std::uint32_t>(kP[i]));
  }
  const std::uint32_t below = static_cast<std::uint32_t>(h[0] - kP[0]) >> 31;
  all &= below ^ 1u;
  return top | all;
}

}  // namespace

// Schoolbook product: f_i * g_j lands in limb i + j, doubled when i and j are both odd
// (their weights add up to one bit more than that of limb i + j) and times 19 when
// i + j >= 10 (2^255 = 19). Loose inputs: 19 * g_j < 2^31, 2 * f_i < 2^31, and each
// column is at most ten products below 2^58.
void feMul32(Fe& h, const Fe& f, const Fe& g) {
  const std::int32_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const std::int32_t f5 = f.v[5], f6 = f.v[6], f7 = f.v[7], f8 = f.v[8], f9 = f.v[9];
  const std::int32_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
  const std::int32_t g5 = g.v[5], g6 = g.v[6], g7 = g.v[7], g8 = g.v[8], g9 = g.v[9];
  const std::int32_t f1_2 = 2 * f1, f3_2 = 2 * f3, f5_2 = 2 * f5, f7_2 = 2 * f7, f9_2 = 2 * f9;
  const std::int32_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
  const std::int32_t g5_19 = 19 * g5, g6_19 = 19 * g6, g7_19 = 19 * g7, g8_19 = 19 * g8;
  const std::int32_t g9_19 = 19 * g9;
  std::int64_t h0 = wide(f0) * g0 + wide(f1_2) * g9_19 + wide(f2) * g8_19 + wide(f3_2) * g7_19 +
                    wide(f4) * g6_19 + wide(f5_2) * g5_19 + wide(f6) * g4_19 + wide(f7_2) * g3_19 +
                    wide(f8) * g2_19 + wide(f9_2) * g1_19;
  std::int64_t h1 = wide(f0) * g1 + wide(f1) * g0 + wide(f2) * g9_19 + wide(f3) * g8_19 +
                    wide(f4) * g7_19 + wide(f5) * g6_19 + wide(f6) * g5_19 + wide(f7) * g4_19 +
                    wide(f8) * g3_19 + wide(f9) * g2_19;
  std::int64_t h2 = wide(f0) * g2 + wide(f1_2) * g1 + wide(f2) * g0 + wide(f3_2) * g9_19 +
                    wide(f4) * g8_19 + wide(f5_2) * g7_19 + wide(f6) * g6_19 + wide(f7_2) * g5_19 +
                    wide(f8) * g4_19 + wide(f9_2) * g3_19;
  std::int64_t h3 = wide(f0) * g3 + wide(f1) * g2 + wide(f2) * g1 + wide(f3) * g0 +
                    wide(f4) * g9_19 + wide(f5) * g8_19 + wide(f6) * g7_19 + wide(f7) * g6_19 +
                    wide(f8) * g5_19 + wide(f9) * g4_19;
  std::int64_t h4 = wide(f0) * g4 + wide(f1_2) * g3 + wide(f2) * g2 + wide(f3_2) * g1 +
                    wide(f4) * g0 + wide(f5_2) * g9_19 + wide(f6) * g8_19 + wide(f7_2) * g7_19 +
                    wide(f8) * g6_19 + wide(f9_2) * g5_19;
  std::int64_t h5 = wide(f0) * g5 + wide(f1) * g4 + wide(f2) * g3 + wide(f3) * g2 + wide(f4) * g1 +
                    wide(f5) * g0 + wide(f6) * g9_19 + wide(f7) * g8_19 + wide(f8) * g7_19 +
                    wide(f9) * g6_19;
  std::int64_t h6 = wide(f0) * g6 + wide(f1_2) * g5 + wide(f2) * g4 + wide(f3_2) * g3 +
                    wide(f4) * g2 + wide(f5_2) * g1 + wide(f6) * g0 + wide(f7_2) * g9_19 +
                    wide(f8) * g8_19 + wide(f9_2) * g7_19;
  std::int64_t h7 = wide(f0) * g7 + wide(f1) * g6 + wide(f2) * g5 + wide(f3) * g4 + wide(f4) * g3 +
                    wide(f5) * g2 + wide(f6) * g1 + wide(f7) * g0 + wide(f8) * g9_19 +
                    wide(f9) * g8_19;
  std::int64_t h8 = wide(f0) * g8 + wide(f1_2) * g7 + wide(f2) * g6 + wide(f3_2) * g5 +
                    wide(f4) * g4 + wide(f5_2) * g3 + wide(f6) * g2 + wide(f7_2) * g1 +
                    wide(f8) * g0 + wide(f9_2) * g9_19;
  std::int64_t h9 = wide(f0) * g9 + wide(f1) * g8 + wide(f2) * g7 + wide(f3) * g6 + wide(f4) * g5 +
                    wide(f5) * g4 + wide(f6) * g3 + wide(f7) * g2 + wide(f8) * g1 + wide(f9) * g0;
  carryWide(h, h0, h1, h2, h3, h4, h5, h6, h7, h8, h9);
}

// The product with itself, each cross term computed once and doubled. Loose input:
// 38 * f_odd and 19 * f_even stay below 2^31.
void feSquare32(Fe& h, const Fe& f) {
  const std::int32_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const std::int32_t f5 = f.v[5], f6 = f.v[6], f7 = f.v[7], f8 = f.v[8], f9 = f.v[9];
  const std::int32_t f0_2 = 2 * f0, f1_2 = 2 * f1, f2_2 = 2 * f2, f3_2 = 2 * f3, f4_2 = 2 * f4;
  const std::int32_t f5_2 = 2 * f5, f6_2 = 2 * f6, f7_2 = 2 * f7, f8_2 = 2 * f8;
  const std::int32_t f6_19 = 19 * f6, f7_19 = 19 * f7, f8_19 = 19 * f8, f9_19 = 19 * f9;
  const std::int32_t f5_38 = 38 * f5, f7_38 = 38 * f7, f9_38 = 38 * f9;
  std::int64_t h0 = wide(f0) * f0 + wide(f1_2) * f9_38 + wide(f2_2) * f8_19 + wide(f3_2) * f7_38 +
                    wide(f4_2) * f6_19 + wide(f5) * f5_38;
  std::int64_t h1 = wide(f0_2) * f1 + wide(f2_2) * f9_19 + wide(f3_2) * f8_19 + wide(f4_2) * f7_19 +
                    wide(f5_2) * f6_19;
  std::int64_t h2 = wide(f0_2) * f2 + wide(f1) * f1_2 + wide(f3_2) * f9_38 + wide(f4_2) * f8_19 +
                    wide(f5_2) * f7_38 + wide(f6) * f6_19;
  std::int64_t h3 = wide(f0_2) * f3 + wide(f1_2) * f2 + wide(f4_2) * f9_19 + wide(f5_2) * f8_19 +
                    wide(f6_2) * f7_19;
  std::int64_t h4 = wide(f0_2) * f4 + wide(f1_2) * f3_2 + wide(f2) * f2 + wide(f5_2) * f9_38 +
                    wide(f6_2) * f8_19 + wide(f7) * f7_38;
  std::int64_t h5 =
      wide(f0_2) * f5 + wide(f1_2) * f4 + wide(f2_2) * f3 + wide(f6_2) * f9_19 + wide(f7_2) * f8_19;
  std::int64_t h6 = wide(f0_2) * f6 + wide(f1_2) * f5_2 + wide(f2_2) * f4 + wide(f3) * f3_2 +
                    wide(f7_2) * f9_38 + wide(f8) * f8_19;
  std::int64_t h7 =
      wide(f0_2) * f7 + wide(f1_2) * f6 + wide(f2_2) * f5 + wide(f3_2) * f4 + wide(f8_2) * f9_19;
  std::int64_t h8 = wide(f0_2) * f8 + wide(f1_2) * f7_2 + wide(f2_2) * f6 + wide(f3_2) * f5_2 +
                    wide(f4) * f4 + wide(f9) * f9_38;
  std::int64_t h9 =
      wide(f0_2) * f9 + wide(f1_2) * f8 + wide(f2_2) * f7 + wide(f3_2) * f6 + wide(f4_2) * f5;
  carryWide(h, h0, h1, h2, h3, h4, h5, h6, h7, h8, h9);
}

#if defined(__SIZEOF_INT128__)

namespace {

using Int128 = __int128;

// Limb pair 2k, 2k+1 is one limb of radix 2^51 (weights 51k and 51k + 26). Loose input:
// |limb| <= 1.52 * 2^51 + 1.52 * 2^26 < 2^51.61, so 19 times a limb stays below 2^56
// and a column of five products below 2^110. The limbs stay signed: no offset by a
// multiple of p is needed, as the products are signed too.
using Limbs51 = std::int64_t[5];

[[gnu::always_inline]] inline void toRadix51(Limbs51& out, const Fe& f) {
  for (int k = 0; k < 5; ++k) {
    out[k] = std::int64_t{f.v[2 * k]} + std::int64_t{f.v[2 * k + 1]} * (std::int64_t{1} << 26);
  }
}

// The five column sums of a product, each below 2^110; column 4 has no folded terms and
// stays below 2^106.
struct Columns {
  Int128 t0, t1, t2, t3, t4;
};

[[gnu::always_inline]] inline Int128 product(std::int64_t a, std::int64_t b) {
  return Int128{a} * b;
}

// Schoolbook product: a_i * b_j lands in column i + j, times 19 when i + j >= 5
// (2^255 = 19).
[[gnu::always_inline]] inline Columns mulColumns(const Limbs51& a, const Limbs51& b) {
  const std::int64_t b1_19 = 19 * b[1], b2_19 = 19 * b[2], b3_19 = 19 * b[3], b4_19 = 19 * b[4];
  return {product(a[0], b[0]) + product(a[1], b4_19) + product(a[2], b3_19) + product(a[3], b2_19) +
              product(a[4], b1_19),
          product(a[0], b[1]) + product(a[1], b[0]) + product(a[2], b4_19) + product(a[3], b3_19) +
              product(a[4], b2_19),
          product(a[0], b[2]) + product(a[1], b[1]) + product(a[2], b[0]) + product(a[3], b4_19) +
              product(a[4], b3_19),
          product(a[0], b[3]) + product(a[1], b[2]) + product(a[2], b[1]) + product(a[3], b[0]) +
              product(a[4], b4_19),
          product(a[0], b[4]) + product(a[1], b[3]) + product(a[2], b[2]) + product(a[3], b[1]) +
              product(a[4], b[0])};
}

// Each cross term once, doubled: 15 products instead of 25.
[[gnu::always_inline]] inline Columns squareColumns(const Limbs51& a) {
  const std::int64_t a0_2 = 2 * a[0], a1_2 = 2 * a[1], a2_2 = 2 * a[2], a3_2 = 2 * a[3];
  const std::int64_t a3_19 = 19 * a[3], a4_19 = 19 * a[4];
  return {product(a[0], a[0]) + product(a1_2, a4_19) + product(a2_2, a3_19),
          product(a0_2, a[1]) + product(a2_2, a4_19) + product(a[3], a3_19),
          product(a0_2, a[2]) + product(a[1], a[1]) + product(a3_2, a4_19),
          product(a0_2, a[3]) + product(a1_2, a[2]) + product(a[4], a4_19),
          product(a0_2, a[4]) + product(a1_2, a[3]) + product(a[2], a[2])};
}

// n * f for |n| < 2^24: columns below 2^76.
[[gnu::always_inline]] inline Columns smallColumns(const Limbs51& a, std::int64_t n) {
  return {product(a[0], n), product(a[1], n), product(a[2], n), product(a[3], n), product(a[4], n)};
}

// The low 51 bits of a column sum and the signed rest above them.
[[gnu::always_inline]] inline std::int64_t low51(Int128 t) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(t) & ((std::uint64_t{1} << 51) - 1u));
}
[[gnu::always_inline]] inline std::int64_t high51(Int128 t) {
  return static_cast<std::int64_t>(t >> 51);
}

// Every column moves all above its low 51 bits on at once, so the carries do not wait
// for one another: limbs in [-2^59, 2^59 + 2^51) come out (19 times the carry of
// column 4, below 2^55, fits 64 bits).
[[gnu::always_inline]] inline void carryColumns(Limbs51& r, const Columns& t) {
  r[0] = low51(t.t0) + 19 * high51(t.t4);
  r[1] = low51(t.t1) + high51(t.t0);
  r[2] = low51(t.t2) + high51(t.t1);
  r[3] = low51(t.t3) + high51(t.t2);
  r[4] = low51(t.t4) + high51(t.t3);
}

// Columns to five limbs below 2^51 + 2^13 in magnitude, a valid input of the next product
// without passing through ten limbs.
[[gnu::always_inline]] inline void reduceColumns(Limbs51& a, const Columns& t) {
  Limbs51 r;
  carryColumns(r, t);
  constexpr std::int64_t kMask = (std::int64_t{1} << 51) - 1;
  a[0] = (r[0] & kMask) + 19 * (r[4] >> 51);
  a[1] = (r[1] & kMask) + (r[0] >> 51);
  a[2] = (r[2] & kMask) + (r[1] >> 51);
  a[3] = (r[3] & kMask) + (r[2] >> 51);
  a[4] = (r[4] & kMask) + (r[3] >> 51);
}

// Half of each limb's range at its weight, 2^25 + 2^24 * 2^26 per radix-2^51 limb. Adding
// it before the carries and taking it off each limb afterwards turns the cheap floor
// carries (a mask and a shift) into rounded ones: limbs end centred on zero.
constexpr std::int64_t kCentre51 = (std::int64_t{1} << 25) + (std::int64_t{1} << 50);

// r = x + kCentre51 with |x| < 2^60 as an even limb (before its incoming carry) in
// [-2^25, 2^25) and an odd limb in [-2^24, 2^24); returns the carry out of the odd limb,
// |carry| <= 2^9.
[[gnu::always_inline]] inline std::int64_t splitCentred(std::int32_t& even, std::int32_t& odd,
                                                        std::int64_t r) {
  const std::int64_t high = r >> 26;
  even = static_cast<std::int32_t>((r & 0x3FFFFFF) - (1 << 25));
  odd = static_cast<std::int32_t>((high & 0x1FFFFFF) - (1 << 24));
  return high >> 25;
}

// Columns to ten carried limbs: the split carries at most 2^9 into each even limb
// (19 times that into limb 0), well inside the carried bounds.
[[gnu::always_inline]] inline void toCarried(Fe& out, const Columns& t) {
  Limbs51 r;
  carryColumns(r, t);
  const std::int64_t d0 = splitCentred(out.v[0], out.v[1], r[0] + kCentre51);
  const std::int64_t d1 = splitCentred(out.v[2], out.v[3], r[1] + kCentre51);
  const std::int64_t d2 = splitCentred(out.v[4], out.v[5], r[2] + kCentre51);
  const std::int64_t d3 = splitCentred(out.v[6], out.v[7], r[3] + kCentre51);
  const std::int64_t d4 = splitCentred(out.v[8], out.v[9], r[4] + kCentre51);
  out.v[0] += static_cast<std::int32_t>(19 * d4);
  out.v[2] += static_cast<std::int32_t>(d0);
  out.v[4] += static_cast<std::int32_t>(d1);
  out.v[6] += static_cast<std::int32_t>(d2);
  out.v[8] += static_cast<std::int32_t>(d3);
}

// h = f^(2^n) * g, n >= 1: the runs of the power chains stay in radix 2^51 between their
// squarings.
void squareTimesMul(Fe& h, const Fe& f, int n, const Fe& g) {
  Limbs51 a, b;
  toRadix51(a, f);
  toRadix51(b, g);
  for (int i = 0; i < n; ++i) reduceColumns(a, squareColumns(a));
  toCarried(h, mulColumns(a, b));
}

}  // namespace

void feMul(Fe& h, const Fe& f, const Fe& g) {
  Limbs51 a, b;
  toRadix51(a, f);
  toRadix51(b, g);
  toCarried(h, mulColumns(a, b));
}

void feSquare(Fe& h, const Fe& f) {
  Limbs51 a;
  toRadix51(a, f);
  toCarried(h, squareColumns(a));
}

void feSquareMul(Fe& h, const Fe& f, const Fe& g) {
  Limbs51 a, b;
  toRadix51(a, f);
  toRadix51(b, g);
  reduceColumns(a, squareColumns(a));
  toCarried(h, mulColumns(a, b));
}

void feMulSmall(Fe& h, const Fe& f, std::int32_t n) {
  Limbs51 a;
  toRadix51(a, f);
  toCarried(h, smallColumns(a, n));
}

#else

void feMul(Fe& h, const Fe& f, const Fe& g) { feMul32(h, f, g); }

void feSquare(Fe& h, const Fe& f) { feSquare32(h, f); }

void feSquareMul(Fe& h, const Fe& f, const Fe& g) {
  Fe t;
  feSquare32(t, f);
  feMul32(h, t, g);
}

void feMulSmall(Fe& h, const Fe& f, std::int32_t n) {
  carryWide(h, wide(f.v[0]) * n, wide(f.v[1]) * n, wide(f.v[2]) * n, wide(f.v[3]) * n,
            wide(f.v[4]) * n, wide(f.v[5]) * n, wide(f.v[6]) * n, wide(f.v[7]) * n,
            wide(f.v[8]) * n, wide(f.v[9]) * n);
}

namespace {

void squareTimesMul(Fe& h, const Fe& f, int n, const Fe& g) {
  Fe t;
  feSquare(t, f);
  for (int i = 1; i < n; ++i) feSquare(t, t);
  feMul(h, t, g);
}

}  // namespace

#endif

void feCarry(Fe& h, const Fe& f) {
  carryWide(h, f.v[0], f.v[1], f.v[2], f.v[3], f.v[4], f.v[5], f.v[6], f.v[7], f.v[8], f.v[9]);
}

namespace {

// z^(2^250 - 1) and z^11, the shared part of the inversion and the (p-5)/8 power.
void powChain250(Fe& t250, Fe& z11, const Fe& z) {
  Fe z2, z9, t5, t10, t20, t40, t50, t100, t200;
  feSquare(z2, z);
  squareTimesMul(z9, z2, 2, z);  // z^9
  feMul(z11, z9, z2);
  squareTimesMul(t5, z11, 1, z9);  // z^(2^5 - 1)
  squareTimesMul(t10, t5, 5, t5);  // z^(2^10 - 1)
  squareTimesMul(t20, t10, 10, t10);
  squareTimesMul(t40, t20, 20, t20);
  squareTimesMul(t50, t40, 10, t10);
  squareTimesMul(t100, t50, 50, t50);
  squareTimesMul(t200, t100, 100, t100);
  squareTimesMul(t250, t200, 50, t50);
}

}  // namespace

void feInvert(Fe& out, const Fe& z) {
  Fe t, z11;
  powChain250(t, z11, z);
  squareTimesMul(out, t, 5, z11);  // z^(2^255 - 21) = z^(p - 2)
}

void fePowP58(Fe& out, const Fe& z) {
  Fe t, z11;
  powChain250(t, z11, z);
  squareTimesMul(out, t, 2, z);  // z^(2^252 - 3) = z^((p - 5) / 8)
}

void feFromBytes(Fe& h, const std::uint8_t s[32]) {
  for (int i = 0; i < 10; ++i) {
    const int at = kWeight[i] / 8;
    const std::uint32_t word =
        static_cast<std::uint32_t>(s[at]) | static_cast<std::uint32_t>(s[at + 1]) << 8 |
        static_cast<std::uint32_t>(s[at + 2]) << 16 | static_cast<std::uint32_t>(s[at + 3]) << 24;
    // Limb 9 takes bits 230..255, one more than its width: bit 255 is folded below.
    const int width = i == 9 ? 26 : kWidth[i];
    const std::uint32_t mask = (std::uint32_t{1} << width) - 1u;
    h.v[i] = static_cast<std::int32_t>((word >> (kWeight[i] % 8)) & mask);
  }
  const std::int32_t top = h.v[9] >> 25;
  h.v[9] &= 0x1FFFFFF;
  h.v[0] += 19 * top;
}

void feToBytes(std::uint8_t s[32], const Fe& f) {
  Fe t;
  feCarry(t, f);  // |value| < 1.02 * 2^254 < p
  std::int32_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = t.v[i] + kP[i];  // now in (0, 2p)
  carryFloorLow(h);
  const std::int32_t top = h[9] >> 25;  // 0 or 1
  h[9] &= 0x1FFFFFF;
  h[0] += 19 * top;
  carryFloorLow(h);  // value in [0, 2^255 + 19), limb 9 at most 2^25
  // One conditional subtraction of p: add 19 and drop 2^255.
  const std::uint32_t subtract = notBelowP(h);
  h[0] += static_cast<std::int32_t>(19u & (0u - subtract));
  carryFloorLow(h);
  h[9] &= 0x1FFFFFF;

  std::uint64_t acc = 0;
  int bits = 0;
  int out = 0;
  for (int i = 0; i < 10; ++i) {
    acc |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(h[i])) << bits;
    bits += kWidth[i];
    while (bits >= 8) {
      s[out++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
  s[31] = static_cast<std::uint8_t>(acc);  // the last 7 bits, as 255 = 31 * 8 + 7
}

std::uint32_t feIsOdd(const Fe& f) {
  std::uint8_t s[32];
  feToBytes(s, f);
  return s[0] & 1u;
}

std::uint32_t feIsZero(const Fe& f) {
  std::uint8_t s[32];
  feToBytes(s, f);
  std::uint32_t any = 0;
  for (std::uint8_t b : s) any |= b;
  return ((any - 1u) >> 8) & 1u;
}

std::uint32_t feEqual(const Fe& f, const Fe& g) {
  Fe d;
  feSub(d, f, g);
  return feIsZero(d);
}

}  // namespace vl
