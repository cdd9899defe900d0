// Scheme 1: W = [e]G + [s]Q on Curve25519 by a two-dimensional differential ladder over
// u-coordinates, then r must equal the first 16 bytes of sigHash256(u(W)).
#include "crypto/scheme_one.h"

#include "crypto/field25519.h"
#include "crypto/hash.h"

namespace vl {
namespace {

constexpr std::int32_t kMontgomeryA = 486662;
constexpr std::int32_t kDoublingConstant = 121665;  // (486662 - 2) / 4
constexpr std::int32_t kBaseU = 9;
constexpr std::int32_t kBaseVSquared = 39420360;  // 9^3 + 486662 * 9^2 + 9
// 2 * v_G, where v_G is the square root of 39420360 whose canonical value is even.
constexpr std::uint8_t kTwiceBaseV[32] = {
    0x3b, 0x58, 0x62, 0x02, 0xbb, 0x74, 0x2c, 0xac, 0x9b, 0x3c, 0x07, 0x25, 0x03, 0x65, 0x85, 0xdb,
    0x66, 0x5d, 0x6e, 0x11, 0xa7, 0x45, 0xc2, 0x3f, 0x96, 0xf2, 0xbe, 0x8e, 0xbc, 0xcc, 0xa3, 0x3e};

// x-only projective point (X : Z); Z = 0 is the point at infinity.
struct XZ {
  Fe x;
  Fe z;
};

std::uint32_t bitOf(const std::uint8_t scalar[32], int j) {
  if (j < 0 || j > 255) return 0;
  return (scalar[j / 8] >> (j % 8)) & 1u;
}

std::uint32_t isEqual(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t d = a ^ b;
  return ((d | (0u - d)) >> 31) ^ 1u;
}

void selectXZ(XZ& out, const XZ& candidate, std::uint32_t bit) {
  feConditionalMove(out.x, candidate.x, bit);
  feConditionalMove(out.z, candidate.z, bit);
}

// (X : Z) -> (A*B : E*(A + 121665*E)), A = (X+Z)^2, B = (X-Z)^2, E = A - B.
// Carried coordinates in, carried out.
void ladderDouble(XZ& out, const XZ& p) {
  Fe a, b, e, t;
  feAdd(t, p.x, p.z);
  feSquare(a, t);
  feSub(t, p.x, p.z);
  feSquare(b, t);
  feSub(e, a, b);
  feMul(out.x, a, b);
  feMulSmall(t, e, kDoublingConstant);
  feAdd(t, t, a);
  feMul(out.z, e, t);
}

// P + R for a known difference u = x0 (a carried affine u-coordinate):
// X3 = ((X1-Z1)(X2+Z2) + (X1+Z1)(X2-Z2))^2, Z3 = x0 ((X1-Z1)(X2+Z2) - (X1+Z1)(X2-Z2))^2.
void ladderAdd(XZ& out, const XZ& p, const XZ& r, const Fe& x0) {
  Fe left, right, m, n, t;
  feSub(left, p.x, p.z);
  feAdd(right, r.x, r.z);
  feMul(m, left, right);
  feAdd(left, p.x, p.z);
  feSub(right, r.x, r.z);
  feMul(n, left, right);
  feAdd(t, m, n);
  feSquare(out.x, t);
  feSub(t, m, n);
  feSquare(t, t);
  feMul(out.z, t, x0);
}

// The recoding of the ladder: c_j = a_j XOR (NOT(a_j XOR b_j) AND c_(j-1)) with
// a_j = s_j XOR s_(j-1), b_j = e_j XOR e_(j-1), c_(-1) = 0, for j = 0..256.
void recode(std::uint8_t c[257], const std::uint8_t s[32], const std::uint8_t e[32]) {
  std::uint32_t previous = 0;
  for (int j = 0; j <= 256; ++j) {
    const std::uint32_t a = bitOf(s, j) ^ bitOf(s, j - 1);
    const std::uint32_t b = bitOf(e, j) ^ bitOf(e, j - 1);
    previous = a ^ ((~(a ^ b) & 1u) & previous);
    c[j] = static_cast<std::uint8_t>(previous);
  }
}

// Q's v-coordinate by Atkin's square root for p = 5 (mod 8): b = (2w)^((p-5)/8),
// i = 2w b^2, v = w b (i - 1); the even root is taken. False when w has no root.
bool evenSquareRoot(Fe& v, const Fe& w) {
  Fe twoW, b, i, t;
  feAdd(twoW, w, w);
  fePowP58(b, twoW);
  feSquare(t, b);
  feMul(i, twoW, t);
  feMul(t, w, b);
  Fe one, iMinusOne;
  feOne(one);
  feSub(iMinusOne, i, one);
  feMul(v, t, iMinusOne);
  Fe negated;
  feNeg(negated, v);
  feConditionalMove(v, negated, feIsOdd(v));
  feSquare(t, v);
  return feEqual(t, w) == 1;
}

// D0 = u(Q + G) and D1 = u(Q - G) from the chord slopes (v_Q -+ v_G)/(u_Q - 9), with the
// squared numerators formed as w + 39420360 -+ 2 v_G v_Q.
bool differencePoints(Fe& d0, Fe& d1, const Fe& uQ, const Fe& vQ, const Fe& w) {
  Fe nine, t, denominator, inverse;
  feSetSmall(nine, kBaseU);
  feSub(t, uQ, nine);
  feSquare(denominator, t);
  if (feIsZero(denominator)) return false;  // Q = +-G: no chord
  feInvert(inverse, denominator);

  Fe twoVG, cross, base, constant;
  feFromBytes(twoVG, kTwiceBaseV);
  feMul(cross, twoVG, vQ);
  feSetSmall(constant, kBaseVSquared);
  feAdd(t, w, constant);
  feCarry(base, t);

  // rest = 486662 + u_Q + 9, subtracted from both slopes squared.
  Fe rest;
  feSetSmall(t, kMontgomeryA + kBaseU);
  feAdd(t, t, uQ);
  feCarry(rest, t);

  Fe numerator;
  feSub(t, base, cross);
  feMul(numerator, t, inverse);
  feSub(t, numerator, rest);
  feCarry(d0, t);
  feAdd(t, base, cross);
  feMul(numerator, t, inverse);
  feSub(t, numerator, rest);
  feCarry(d1, t);
  return true;
}

}  // namespace

void schemeOneChallenge(const KeySet& keys, const std::uint8_t digest[20], const std::uint8_t r[16],
                        std::uint8_t e[32]) {
  sigHash256(keys.sigHashInit, keys.sigHashRounds, e, digest, 20);
  for (int i = 0; i < 16; ++i) e[8 + i] ^= r[i];
  e[0] &= 0xF8;
  e[31] = static_cast<std::uint8_t>((e[31] & 0x7F) | 0x40);
}

bool schemeOneCombination(const std::uint8_t k1[32], const std::uint8_t e[32],
                          const std::uint8_t s[32], std::uint8_t u[32]) {
  Fe uQ, t, w;
  feFromBytes(t, k1);
  feCarry(uQ, t);
  // w = u^3 + 486662 u^2 + u
  Fe u2, u3, au2;
  feSquare(u2, uQ);
  feMul(u3, u2, uQ);
  feMulSmall(au2, u2, kMontgomeryA);
  feAdd(t, u3, au2);
  feAdd(t, t, uQ);
  feCarry(w, t);
  Fe vQ;
  if (!evenSquareRoot(vQ, w)) return false;  // not a curve point
  Fe difference[2];
  if (!differencePoints(difference[0], difference[1], uQ, vQ, w)) return false;

  Fe table[2];  // T = (9, u_Q)
  feSetSmall(table[0], kBaseU);
  feCopy(table[1], uQ);

  std::uint8_t c[257];
  recode(c, s, e);

  XZ p0, p1, p2;
  feOne(p0.x);
  feZero(p0.z);
  feCopy(p1.x, table[0]);
  feConditionalMove(p1.x, table[1], c[256]);
  feOne(p1.z);
  feCopy(p2.x, difference[0]);
  feOne(p2.z);

  for (int j = 255; j >= 0; --j) {
    const std::uint32_t sj = bitOf(s, j), sNext = bitOf(s, j + 1);
    const std::uint32_t ej = bitOf(e, j), eNext = bitOf(e, j + 1);
    const std::uint32_t delta = (sj ^ sNext) + (ej ^ eNext);

    XZ doubled = p0;
    selectXZ(doubled, p1, isEqual(delta, 1));
    selectXZ(doubled, p2, isEqual(delta, 2));
    XZ addend = p2;
    selectXZ(addend, p0, isEqual(c[j], c[j + 1]));
    Fe difference1, difference2;
    feCopy(difference1, table[0]);
    feConditionalMove(difference1, table[1], c[j]);
    feCopy(difference2, difference[0]);
    feConditionalMove(difference2, difference[1], sNext ^ eNext);

    XZ next0, next1, next2;
    ladderDouble(next0, doubled);
    ladderAdd(next1, p1, addend, difference1);
    ladderAdd(next2, p2, p0, difference2);
    p0 = next0;
    p1 = next1;
    p2 = next2;
  }

  const std::uint32_t k = bitOf(s, 0) + bitOf(e, 0);
  XZ result = p0;
  selectXZ(result, p1, isEqual(k, 1));
  selectXZ(result, p2, isEqual(k, 2));
  Fe inverse, x;
  feInvert(inverse, result.z);  // 0 for the point at infinity, so u(W) = 0
  feMul(x, result.x, inverse);
  feToBytes(u, x);
  return true;
}

bool schemeOneVerify(const KeySet& keys, const std::uint8_t digest[20],
                     const std::uint8_t signature[68]) {
  const std::uint8_t* r = signature + 20;
  const std::uint8_t* s = signature + 36;
  std::uint8_t e[32];
  schemeOneChallenge(keys, digest, r, e);
  std::uint8_t x[32];
  if (!schemeOneCombination(keys.k1, e, s, x)) return false;
  std::uint8_t h[32];
  sigHash256(keys.sigHashInit, keys.sigHashRounds, h, x, 32);
  std::uint8_t differences = 0;
  for (int i = 0; i < 16; ++i) differences |= static_cast<std::uint8_t>(h[i] ^ r[i]);
  return differences == 0;
}

}  // namespace vl
