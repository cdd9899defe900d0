// Scheme 1 of the package signatures: EC-KCDSA-like on Curve25519 with x-only arithmetic.
// schemeOneVerify itself is declared in crypto/signature.h; these are its parts, shared
// with the signing side and the tests.
#pragma once

#include <cstdint>

#include "crypto/signature.h"

namespace vl {

// e from the 20 digest bytes and r: sigHash256 of the digest with bytes 8..23 XORed
// with r, then bits 0-2 cleared, bit 255 cleared and bit 254 set; little-endian.
void schemeOneChallenge(const KeySet& keys, const std::uint8_t digest[20], const std::uint8_t r[16],
                        std::uint8_t e[32]);

// u([e]G + [s]Q) in canonical little-endian form (0 for the point at infinity), where Q
// is the point with u-coordinate k1 and even v. The two-dimensional ladder runs the same
// field operations for every (e, s). False when k1 is not the u-coordinate of a curve
// point other than +-G, so that no signature can check against such a key.
[[nodiscard]] bool schemeOneCombination(const std::uint8_t k1[32], const std::uint8_t e[32],
                                        const std::uint8_t s[32], std::uint8_t u[32]);

}  // namespace vl
