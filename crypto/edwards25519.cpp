// Extended twisted Edwards arithmetic for a = -1 (Hisil, Wong, Carter, Dawson 2008).
// Every stored coordinate is carried (see field25519.h); sums of two carried values go
// straight into multiplications, anything larger passes feCarry first.
#include "crypto/edwards25519.h"

namespace vl {
namespace {

constexpr std::uint8_t kD[32] = {0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75, 0xab, 0xd8, 0x41,
                                 0x41, 0x4d, 0x0a, 0x70, 0x00, 0x98, 0xe8, 0x79, 0x77, 0x79, 0x40,
                                 0xc7, 0x8c, 0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52};
constexpr std::uint8_t kTwiceD[32] = {
    0x59, 0xf1, 0xb2, 0x26, 0x94, 0x9b, 0xd6, 0xeb, 0x56, 0xb1, 0x83, 0x82, 0x9a, 0x14, 0xe0, 0x00,
    0x30, 0xd1, 0xf3, 0xee, 0xf2, 0x80, 0x8e, 0x19, 0xe7, 0xfc, 0xdf, 0x56, 0xdc, 0xd9, 0x06, 0x24};
// 2^((p-1)/4), a square root of -1.
constexpr std::uint8_t kSqrtMinusOne[32] = {
    0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4, 0x78, 0xe4, 0x2f, 0xad, 0x06, 0x18, 0x43, 0x2f,
    0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00, 0x4d, 0x2b, 0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b};
// The encoding of B: y = 4/5, x even.
constexpr std::uint8_t kBase[32] = {
    0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
    0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};

// A point prepared as the second operand of additions: (Y+X, Y-X, 2Z, 2dT).
struct Cached {
  Fe yPlusX;
  Fe yMinusX;
  Fe z2;
  Fe t2d;
};

// The four factors E, F, G, H of an addition or doubling, before the final products
// X = EF, Y = GH, T = EH, Z = FG. Skipping T saves a product when a doubling follows.
struct Completed {
  Fe e;
  Fe f;
  Fe g;
  Fe h;
};

void toCached(Cached& c, const EdPoint& p) {
  Fe twiceD;
  feFromBytes(twiceD, kTwiceD);
  feAdd(c.yPlusX, p.y, p.x);
  feSub(c.yMinusX, p.y, p.x);
  feAdd(c.z2, p.z, p.z);
  feMul(c.t2d, p.t, twiceD);
}

void toExtended(EdPoint& p, const Completed& c) {
  feMul(p.x, c.e, c.f);
  feMul(p.y, c.g, c.h);
  feMul(p.z, c.f, c.g);
  feMul(p.t, c.e, c.h);
}

// X, Y and Z only: enough for the next doubling.
void toProjective(EdPoint& p, const Completed& c) {
  feMul(p.x, c.e, c.f);
  feMul(p.y, c.g, c.h);
  feMul(p.z, c.f, c.g);
}

// A = (Y1-X1)(Y2-X2), B = (Y1+X1)(Y2+X2), C = T1 2d T2, D = 2 Z1 Z2;
// E = B - A, F = D - C, G = D + C, H = B + A. subtract flips the second operand
// (-(x, y) = (-x, y): Y+X and Y-X trade places and T changes sign).
void addCached(Completed& out, const EdPoint& p, const Cached& q, bool subtract) {
  Fe sum, difference, a, b, c, d;
  feSub(difference, p.y, p.x);
  feAdd(sum, p.y, p.x);
  feMul(a, difference, subtract ? q.yPlusX : q.yMinusX);
  feMul(b, sum, subtract ? q.yMinusX : q.yPlusX);
  feMul(c, p.t, q.t2d);
  feMul(d, p.z, q.z2);
  feSub(out.e, b, a);
  if (subtract) {
    feAdd(out.f, d, c);
    feSub(out.g, d, c);
  } else {
    feSub(out.f, d, c);
    feAdd(out.g, d, c);
  }
  feAdd(out.h, b, a);
}

// A = X^2, B = Y^2, C = 2 Z^2; E = (X+Y)^2 - A - B, G = B - A, F = G - C, H = -A - B.
void doubleProjective(Completed& out, const EdPoint& p) {
  Fe a, b, c, t;
  feSquare(a, p.x);
  feSquare(b, p.y);
  feSquare(c, p.z);
  feAdd(c, c, c);
  feAdd(t, p.x, p.y);
  feSquare(t, t);
  feSub(t, t, a);
  feSub(out.e, t, b);  // three carried terms: loose
  feSub(out.g, b, a);
  feSub(t, out.g, c);
  feCarry(out.f, t);  // four carried terms: carry before it is multiplied
  feAdd(t, a, b);
  feNeg(out.h, t);
}

// Signed digits d_i in (-2^(w-1), 2^(w-1)), odd or zero, with sum d_i 2^i equal to the
// 256-bit scalar and at least w - 1 zeros after each non-zero digit (width-w NAF).
void nonAdjacentForm(std::int8_t digits[257], const std::uint8_t scalar[32], int w) {
  for (int i = 0; i < 257; ++i) digits[i] = 0;
  const std::uint32_t width = 1u << w;
  std::uint32_t carry = 0;
  int position = 0;
  while (position < 257) {
    std::uint32_t bits = 0;
    for (int k = 0; k < w; ++k) {
      const int at = position + k;
      if (at < 256) bits |= static_cast<std::uint32_t>((scalar[at / 8] >> (at % 8)) & 1) << k;
    }
    const std::uint32_t window = carry + bits;
    if ((window & 1u) == 0) {
      ++position;
      continue;
    }
    if (window < width / 2) {
      carry = 0;
      digits[position] = static_cast<std::int8_t>(window);
    } else {
      carry = 1;
      digits[position] =
          static_cast<std::int8_t>(static_cast<int>(window) - static_cast<int>(width));
    }
    position += w;
  }
}

// P, 3P, 5P, ... (2n-1)P.
void oddMultiples(Cached* table, int n, const EdPoint& p) {
  EdPoint twice, current = p;
  edDouble(twice, p);
  Cached twiceCached;
  toCached(twiceCached, twice);
  toCached(table[0], current);
  for (int i = 1; i < n; ++i) {
    Completed c;
    addCached(c, current, twiceCached, false);
    toExtended(current, c);
    toCached(table[i], current);
  }
}

constexpr int kVariableWindow = 5;  // 8 odd multiples of the variable point
constexpr int kBaseWindow = 8;      // 64 odd multiples of B, computed once

const Cached* baseTable() {
  static Cached table[1 << (kBaseWindow - 2)];
  static bool ready = false;
  if (!ready) {
    EdPoint base;
    edBase(base);
    oddMultiples(table, 1 << (kBaseWindow - 2), base);
    ready = true;
  }
  return table;
}

void addDigit(Completed& c, EdPoint& scratch, const Cached* table, std::int8_t digit) {
  if (digit == 0) return;
  toExtended(scratch, c);
  if (digit > 0) {
    addCached(c, scratch, table[digit / 2], false);
  } else {
    addCached(c, scratch, table[-digit / 2], true);
  }
}

}  // namespace

void edNeutral(EdPoint& p) {
  feZero(p.x);
  feOne(p.y);
  feOne(p.z);
  feZero(p.t);
}

void edBase(EdPoint& p) { (void)edDecode(p, kBase); }

bool edDecode(EdPoint& p, const std::uint8_t s[32]) {
  std::uint8_t yBytes[32];
  for (int i = 0; i < 32; ++i) yBytes[i] = s[i];
  yBytes[31] &= 0x7F;
  const std::uint32_t sign = s[31] >> 7;

  Fe y, d, one, u, v, y2;
  feFromBytes(y, yBytes);
  feFromBytes(d, kD);
  feOne(one);
  feSquare(y2, y);
  feSub(u, y2, one);  // y^2 - 1
  feMul(v, y2, d);
  feAdd(v, v, one);  // d y^2 + 1

  // x = u v^3 (u v^7)^((p-5)/8), the candidate root of u/v.
  Fe v3, v7, x, t;
  feSquare(t, v);
  feMul(v3, t, v);
  feSquare(t, v3);
  feMul(v7, t, v);
  feMul(t, u, v7);
  fePowP58(x, t);
  feMul(t, u, v3);
  feMul(x, x, t);

  Fe check, negU;
  feSquare(t, x);
  feMul(check, t, v);
  feNeg(negU, u);
  if (!feEqual(check, u)) {
    if (!feEqual(check, negU)) return false;
    Fe sqrtMinusOne;
    feFromBytes(sqrtMinusOne, kSqrtMinusOne);
    feMul(x, x, sqrtMinusOne);
  }
  if (feIsZero(x) && sign == 1) return false;
  if (feIsOdd(x) != sign) feNeg(x, x);

  feCarry(p.y, y);
  feCopy(p.x, x);
  feOne(p.z);
  feMul(p.t, p.x, p.y);
  return true;
}

void edEncode(std::uint8_t s[32], const EdPoint& p) {
  Fe inverse, x, y;
  feInvert(inverse, p.z);
  feMul(x, p.x, inverse);
  feMul(y, p.y, inverse);
  feToBytes(s, y);
  s[31] = static_cast<std::uint8_t>(s[31] | feIsOdd(x) << 7);
}

void edAdd(EdPoint& out, const EdPoint& p, const EdPoint& q) {
  Cached cached;
  toCached(cached, q);
  Completed c;
  addCached(c, p, cached, false);
  toExtended(out, c);
}

void edDouble(EdPoint& out, const EdPoint& p) {
  Completed c;
  doubleProjective(c, p);
  toExtended(out, c);
}

void edNegate(EdPoint& out, const EdPoint& p) {
  feNeg(out.x, p.x);
  feCopy(out.y, p.y);
  feCopy(out.z, p.z);
  feNeg(out.t, p.t);
}

std::uint32_t edEqual(const EdPoint& p, const EdPoint& q) {
  Fe left, right;
  feMul(left, p.x, q.z);
  feMul(right, q.x, p.z);
  const std::uint32_t sameX = feEqual(left, right);
  feMul(left, p.y, q.z);
  feMul(right, q.y, p.z);
  return sameX & feEqual(left, right);
}

std::uint32_t edIsNeutral(const EdPoint& p) {
  EdPoint neutral;
  edNeutral(neutral);
  return edEqual(p, neutral);
}

void edDoubleScalarMultiply(EdPoint& out, const std::uint8_t a[32], const EdPoint& p,
                            const std::uint8_t b[32]) {
  std::int8_t aDigits[257], bDigits[257];
  nonAdjacentForm(aDigits, a, kVariableWindow);
  nonAdjacentForm(bDigits, b, kBaseWindow);
  Cached pTable[1 << (kVariableWindow - 2)];
  oddMultiples(pTable, 1 << (kVariableWindow - 2), p);
  const Cached* bTable = baseTable();

  int top = 256;
  while (top >= 0 && aDigits[top] == 0 && bDigits[top] == 0) --top;
  EdPoint accumulator;
  edNeutral(accumulator);
  EdPoint scratch;
  for (int i = top; i >= 0; --i) {
    Completed c;
    doubleProjective(c, accumulator);
    addDigit(c, scratch, pTable, aDigits[i]);
    addDigit(c, scratch, bTable, bDigits[i]);
    if (i == 0) {
      toExtended(accumulator, c);
    } else {
      toProjective(accumulator, c);
    }
  }
  out = accumulator;
}

void edScalarMultiplyBase(EdPoint& out, const std::uint8_t k[32]) {
  EdPoint base;
  edBase(base);
  Cached baseCached;
  toCached(baseCached, base);
  EdPoint accumulator;
  edNeutral(accumulator);
  for (int i = 255; i >= 0; --i) {
    const std::uint32_t bit = (k[i / 8] >> (i % 8)) & 1u;
    Completed c;
    doubleProjective(c, accumulator);
    toExtended(accumulator, c);
    EdPoint sum;
    addCached(c, accumulator, baseCached, false);
    toExtended(sum, c);
    feConditionalMove(accumulator.x, sum.x, bit);
    feConditionalMove(accumulator.y, sum.y, bit);
    feConditionalMove(accumulator.z, sum.z, bit);
    feConditionalMove(accumulator.t, sum.t, bit);
  }
  out = accumulator;
}

}  // namespace vl
