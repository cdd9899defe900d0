// Arithmetic in the field of p = 2^255 - 19, the coordinate field of Curve25519 and of
// its twisted Edwards form. Fixed size, no heap, one element is ten signed 32-bit limbs.
#pragma once

#include <cstdint>

namespace vl {

// Limb i carries bit weight 0, 26, 51, 77, 102, 128, 153, 179, 204, 230 for i = 0..9
// (radix 2^25.5): even limbs hold 26 bits and odd limbs 25 when fully reduced. Between
// operations values are only loosely reduced; the bounds below are absolute values.
//
//   carried  every result of feMul, feSquare, feSquareMul, feMulSmall, feCarry,
//            feFromBytes:
//            even limbs <= 1.01 * 2^25, odd limbs <= 1.01 * 2^24
//            (feFromBytes: even limbs < 2^26 + 19, odd limbs < 2^25, all >= 0).
//   loose    the sum or difference of up to three carried values (or of one
//            feFromBytes result and one carried value):
//            even limbs <= 1.52 * 2^26, odd limbs <= 1.52 * 2^25.
//
// The products accept loose inputs: multiplying an even limb by 19 or an odd one by 38
// then stays below 2^31, and each 64-bit column sum below 2^62 (in radix 2^51 on hosts
// with 128-bit integers: each limb below 2^51.61, each column sum below 2^110).
// feAdd, feSub and feNeg do not carry; feeding them loose inputs gives values that must
// pass feCarry before they enter a multiplication.
struct Fe {
  std::int32_t v[10];
};

// The limb-wise operations are defined here so that they join the products around
// them instead of costing a call each.
inline void feZero(Fe& h) {
  for (auto& limb : h.v) limb = 0;
}

// |n| < 2^25 stays carried.
inline void feSetSmall(Fe& h, std::int32_t n) {
  feZero(h);
  h.v[0] = n;
}

inline void feOne(Fe& h) { feSetSmall(h, 1); }

inline void feCopy(Fe& h, const Fe& f) { h = f; }

inline void feAdd(Fe& h, const Fe& f, const Fe& g) {
  for (int i = 0; i < 10; ++i) h.v[i] = f.v[i] + g.v[i];
}

inline void feSub(Fe& h, const Fe& f, const Fe& g) {
  for (int i = 0; i < 10; ++i) h.v[i] = f.v[i] - g.v[i];
}

inline void feNeg(Fe& h, const Fe& f) {
  for (int i = 0; i < 10; ++i) h.v[i] = -f.v[i];
}

void feMul(Fe& h, const Fe& f, const Fe& g);
void feSquare(Fe& h, const Fe& f);
// h = f^2 * g, the square and the product in one call: hosts with 128-bit integers keep
// the square in their wider limbs in between.
void feSquareMul(Fe& h, const Fe& f, const Fe& g);
// The same products in ten 32-bit limbs with 64-bit partial products, which is how the
// boards compute feMul and feSquare. Hosts with 128-bit integers compute those in five
// limbs of radix 2^51 instead; both give carried results of the same value mod p.
void feMul32(Fe& h, const Fe& f, const Fe& g);
void feSquare32(Fe& h, const Fe& f);
// h = f * n for |n| < 2^24.
void feMulSmall(Fe& h, const Fe& f, std::int32_t n);
// Propagates the carries of any limb values with |limb| < 2^31 into a carried value.
void feCarry(Fe& h, const Fe& f);

// z^(p-2), the inverse for z != 0 (and 0 for z = 0).
void feInvert(Fe& out, const Fe& z);
// z^((p-5)/8), the core of the square roots for p = 5 (mod 8).
void fePowP58(Fe& out, const Fe& z);

// Takes all 256 bits little-endian; bit 255 counts as 2^255 (so 19 once folded).
void feFromBytes(Fe& h, const std::uint8_t s[32]);
// The canonical value in [0, p), 32 bytes little-endian.
void feToBytes(std::uint8_t s[32], const Fe& f);

// 1 when the canonical value is odd ("negative" in the Edwards point encoding).
std::uint32_t feIsOdd(const Fe& f);
// 1 when f = 0 (mod p).
std::uint32_t feIsZero(const Fe& f);
// 1 when f = g (mod p).
std::uint32_t feEqual(const Fe& f, const Fe& g);

// Branch-free selection for bit in {0, 1}: f = g when bit is 1, unchanged otherwise.
inline void feConditionalMove(Fe& f, const Fe& g, std::uint32_t bit) {
  const std::uint32_t mask = 0u - bit;
  for (int i = 0; i < 10; ++i) {
    const std::uint32_t a = static_cast<std::uint32_t>(f.v[i]);
    const std::uint32_t b = static_cast<std::uint32_t>(g.v[i]);
    f.v[i] = static_cast<std::int32_t>(a ^ ((a ^ b) & mask));
  }
}

// Branch-free exchange of f and g when bit is 1.
inline void feConditionalSwap(Fe& f, Fe& g, std::uint32_t bit) {
  const std::uint32_t mask = 0u - bit;
  for (int i = 0; i < 10; ++i) {
    const std::uint32_t a = static_cast<std::uint32_t>(f.v[i]);
    const std::uint32_t b = static_cast<std::uint32_t>(g.v[i]);
    const std::uint32_t x = (a ^ b) & mask;
    f.v[i] = static_cast<std::int32_t>(a ^ x);
    g.v[i] = static_cast<std::int32_t>(b ^ x);
  }
}

}  // namespace vl
