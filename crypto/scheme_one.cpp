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

std::uint32_t maskOf(std::uint32_t bit) { return 0u - bit; }

// out = a where maskA is all ones, b where maskB is, c where maskC is (exactly one of
// them): every candidate is read in full whichever is chosen.
void selectFe(Fe& out, const Fe& a, std::uint32_t maskA, const Fe& b, std::uint32_t maskB,
              const Fe& c = Fe{}, std::uint32_t maskC = 0) {
  for (int i = 0; i < 10; ++i) {
    out.v[i] = static_cast<std::int32_t>((static_cast<std::uint32_t>(a.v[i]) & maskA) |
                                         (static_cast<std::uint32_t>(b.v[i]) & maskB) |
                                         (static_cast<std::uint32_t>(c.v[i]) & maskC));
  }
}

void selectXZ(XZ& out, const XZ* candidates, std::uint32_t k) {
  const std::uint32_t m0 = maskOf(isEqual(k, 0)), m1 = maskOf(isEqual(k, 1)),
                      m2 = maskOf(isEqual(k, 2));
  selectFe(out.x, candidates[0].x, m0, candidates[1].x, m1, candidates[2].x, m2);
  selectFe(out.z, candidates[0].z, m0, candidates[1].z, m1, candidates[2].z, m2);
}

// The two halves of a differential addition P + R: m = (X1-Z1)(X2+Z2) and
// n = (X1+Z1)(X2-Z2).
struct AddTerms {
  Fe left, right, leftSum, rightDifference;
  Fe m, n;
};

void addInputs(AddTerms& a, const XZ& p, const XZ& r) {
  feSub(a.left, p.x, p.z);
  feAdd(a.right, r.x, r.z);
  feAdd(a.leftSum, p.x, p.z);
  feSub(a.rightDifference, r.x, r.z);
}

// One ladder step, from carried coordinates to carried coordinates:
//   next[0] = 2 D:  (A*B : E*(A + 121665*E)), A = (X+Z)^2, B = (X-Z)^2, E = A - B;
//   next[1] = P1 + R1, next[2] = P2 + R2, for P + R with known difference u = x0:
//   X3 = (m + n)^2, Z3 = x0 (m - n)^2.
// The three run side by side in stages, so that a sum or difference never reads a
// product the moment it has been stored (its load would wait for the store to reach the
// cache) and the products of different points overlap. Same operations for every
// choice of operands.
void ladderStep(XZ next[3], const XZ& d, const XZ& p1, const XZ& r1, const Fe& x1, const XZ& p2,
                const XZ& r2, const Fe& x2) {
  Fe sum, difference, a, b, e, t;
  AddTerms one, two;
  feAdd(sum, d.x, d.z);
  feSub(difference, d.x, d.z);
  addInputs(one, p1, r1);
  addInputs(two, p2, r2);

  feSquare(a, sum);
  feSquare(b, difference);
  feMul(two.m, two.left, two.right);
  feMul(two.n, two.leftSum, two.rightDifference);
  feMul(one.m, one.left, one.right);
  feMul(one.n, one.leftSum, one.rightDifference);

  feSub(e, a, b);
  feMulSmall(t, e, kDoublingConstant);
  feAdd(two.left, two.m, two.n);
  feSub(two.right, two.m, two.n);
  feMul(next[0].x, a, b);
  feSquare(next[2].x, two.left);
  feSquareMul(next[2].z, two.right, x2);
  feAdd(one.left, one.m, one.n);
  feSub(one.right, one.m, one.n);
  feAdd(t, t, a);
  feSquare(next[1].x, one.left);
  feSquareMul(next[1].z, one.right, x1);
  feMul(next[0].z, e, t);
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

  // P0, P1, P2 of this step and of the next one; the two sets take turns.
  XZ points[2][3];
  XZ* p = points[0];
  XZ* next = points[1];
  feOne(p[0].x);
  feZero(p[0].z);
  selectFe(p[1].x, table[0], maskOf(c[256] ^ 1u), table[1], maskOf(c[256]));
  feOne(p[1].z);
  feCopy(p[2].x, difference[0]);
  feOne(p[2].z);

  for (int j = 255; j >= 0; --j) {
    const std::uint32_t sj = bitOf(s, j), sNext = bitOf(s, j + 1);
    const std::uint32_t ej = bitOf(e, j), eNext = bitOf(e, j + 1);
    const std::uint32_t delta = (sj ^ sNext) + (ej ^ eNext);
    const std::uint32_t sameC = isEqual(c[j], c[j + 1]);
    const std::uint32_t dIndex = sNext ^ eNext;

    XZ doubled, addend;
    selectXZ(doubled, p, delta);
    selectFe(addend.x, p[0].x, maskOf(sameC), p[2].x, maskOf(sameC ^ 1u));
    selectFe(addend.z, p[0].z, maskOf(sameC), p[2].z, maskOf(sameC ^ 1u));
    Fe difference1, difference2;
    selectFe(difference1, table[0], maskOf(c[j] ^ 1u), table[1], maskOf(c[j]));
    selectFe(difference2, difference[0], maskOf(dIndex ^ 1u), difference[1], maskOf(dIndex));

    ladderStep(next, doubled, p[1], addend, difference1, p[2], p[0], difference2);
    XZ* const done = p;
    p = next;
    next = done;
  }

  XZ result;
  selectXZ(result, p, bitOf(s, 0) + bitOf(e, 0));
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
