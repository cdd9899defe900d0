// Points of Curve25519 in its short Weierstrass model y^2 = x^3 + a*x + b, with
// arbitrary-precision coordinates. A Montgomery point (u, v) is (u + 486662/3, v) here.
// The signing side and the cross-checks use it; verification uses the fixed-size code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "crypto/bigint.h"

namespace vl {

// The curve and its field operations modulo p. Operands may be any non-negative
// integers; results are reduced.
class Curve {
 public:
  static const Curve& curve25519();

  const BigInt& p() const { return p_; }
  const BigInt& a() const { return a_; }
  const BigInt& b() const { return b_; }
  // 486662/3 mod p, the shift between the Montgomery u and the Weierstrass x.
  const BigInt& shift() const { return shift_; }

  BigInt reduce(const BigInt& x) const { return x % p_; }
  BigInt add(const BigInt& x, const BigInt& y) const;
  BigInt sub(const BigInt& x, const BigInt& y) const;
  BigInt mul(const BigInt& x, const BigInt& y) const;
  BigInt negate(const BigInt& x) const;
  // x^(p-2): the inverse, and 0 for x = 0.
  BigInt inverse(const BigInt& x) const;
  // A square root of x, when one exists.
  std::optional<BigInt> squareRoot(const BigInt& x) const;

 private:
  Curve();

  BigInt p_;
  BigInt a_;
  BigInt b_;
  BigInt shift_;
};

class ECPoint {
 public:
  // The point at infinity.
  explicit ECPoint(const Curve& curve);
  ECPoint(const Curve& curve, BigInt x, BigInt y);

  // The Montgomery point (u, v) of Curve25519.
  static ECPoint fromMontgomery(const Curve& curve, const BigInt& u, const BigInt& v);
  // The base point: u = 9 and the square root v whose canonical value is even.
  static ECPoint base(const Curve& curve);
  // 0x04, then x and y as two equal big-endian halves; anything else gives the point at
  // infinity.
  static ECPoint fromBin(const Curve& curve, const std::uint8_t* data, std::size_t length);

  bool isInfinity() const { return infinity_; }
  const BigInt& x() const { return x_; }
  const BigInt& y() const { return y_; }
  // u = x - 486662/3 mod p; 0 for the point at infinity.
  BigInt montgomeryU() const;
  bool isOnCurve() const;

  ECPoint add(const ECPoint& other) const;
  ECPoint twice() const;
  ECPoint negated() const;
  ECPoint multiply(const BigInt& scalar) const;

  // 0x04, x, y, each coordinate as len bytes big-endian with leading zeros. A coordinate
  // longer than len bytes is a broken invariant and stops the program.
  std::vector<unsigned char> toBin(unsigned int len) const;

  friend bool operator==(const ECPoint& a, const ECPoint& b);

 private:
  const Curve* curve_;
  BigInt x_;
  BigInt y_;
  bool infinity_;
};

}  // namespace vl
