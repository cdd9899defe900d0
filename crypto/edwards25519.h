// Points of the twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 (Ed25519) in extended
// coordinates over the fixed-size field code: x = X/Z, y = Y/Z, T = XY/Z. The addition
// law is complete, so no input needs a special case.
#pragma once

#include <cstdint>

#include "crypto/field25519.h"

namespace vl {

struct EdPoint {
  Fe x;
  Fe y;
  Fe z;
  Fe t;
};

void edNeutral(EdPoint& p);
// The base point B of RFC 8032.
void edBase(EdPoint& p);

// RFC 8032 decoding: y is the low 255 bits (not tested against p), bit 255 the sign of
// x. False, with p untouched, when x^2 = (y^2 - 1)/(d y^2 + 1) has no root, or when
// x = 0 and the sign bit is 1.
[[nodiscard]] bool edDecode(EdPoint& p, const std::uint8_t s[32]);
// Canonical y with the parity of x in bit 255.
void edEncode(std::uint8_t s[32], const EdPoint& p);

void edAdd(EdPoint& out, const EdPoint& p, const EdPoint& q);
void edDouble(EdPoint& out, const EdPoint& p);
void edNegate(EdPoint& out, const EdPoint& p);
// 1 when p and q are the same point.
std::uint32_t edEqual(const EdPoint& p, const EdPoint& q);
// 1 for the neutral element (0, 1).
std::uint32_t edIsNeutral(const EdPoint& p);

// [a]P + [b]B for 256-bit little-endian a and b, in variable time (public inputs only).
void edDoubleScalarMultiply(EdPoint& out, const std::uint8_t a[32], const EdPoint& p,
                            const std::uint8_t b[32]);
// [k]B for a 256-bit little-endian k, with the same operations for every k (secret
// scalars of the signing side).
void edScalarMultiplyBase(EdPoint& out, const std::uint8_t k[32]);

}  // namespace vl
