#include "crypto/ec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vl {
namespace {

constexpr std::uint64_t kMontgomeryA = 486662;

// The system's assertion: message in the C library's layout, then abort, in every build
// type (an NDEBUG build must not carry on with a broken point).
[[noreturn]] void assertionFailed(const char* file, int line, const char* function,
                                  const char* expression) {
  std::fprintf(stderr, "%s: %s: %d: %s: Assertion `%s' failed.\n", program_invocation_short_name,
               file, line, function, expression);
  std::fflush(stderr);
  std::abort();
}

// Jacobian coordinates (X : Y : Z) for x = X/Z^2, y = Y/Z^3; Z = 0 is the point at
// infinity. They let a scalar multiplication end with a single inversion.
struct Jacobian {
  BigInt x;
  BigInt y;
  BigInt z;
};

Jacobian jacobianTwice(const Curve& c, const Jacobian& q) {
  if (q.z.isZero() || q.y.isZero()) return {BigInt(1), BigInt(1), BigInt()};
  const BigInt xx = c.mul(q.x, q.x);
  const BigInt yy = c.mul(q.y, q.y);
  const BigInt zz = c.mul(q.z, q.z);
  const BigInt s = c.mul(BigInt(4), c.mul(q.x, yy));
  const BigInt m = c.add(c.mul(BigInt(3), xx), c.mul(c.a(), c.mul(zz, zz)));
  const BigInt x3 = c.sub(c.mul(m, m), c.add(s, s));
  const BigInt y3 = c.sub(c.mul(m, c.sub(s, x3)), c.mul(BigInt(8), c.mul(yy, yy)));
  const BigInt z3 = c.mul(BigInt(2), c.mul(q.y, q.z));
  return {x3, y3, z3};
}

// q + (x2, y2) for an affine second point.
Jacobian jacobianAddAffine(const Curve& c, const Jacobian& q, const BigInt& x2, const BigInt& y2) {
  if (q.z.isZero()) return {x2, y2, BigInt(1)};
  const BigInt zz = c.mul(q.z, q.z);
  const BigInt u2 = c.mul(x2, zz);
  const BigInt s2 = c.mul(y2, c.mul(zz, q.z));
  const BigInt h = c.sub(u2, q.x);
  const BigInt r = c.sub(s2, q.y);
  if (h.isZero()) {
    if (r.isZero()) return jacobianTwice(c, q);
    return {BigInt(1), BigInt(1), BigInt()};
  }
  const BigInt hh = c.mul(h, h);
  const BigInt hhh = c.mul(hh, h);
  const BigInt v = c.mul(q.x, hh);
  const BigInt x3 = c.sub(c.sub(c.mul(r, r), hhh), c.add(v, v));
  const BigInt y3 = c.sub(c.mul(r, c.sub(v, x3)), c.mul(q.y, hhh));
  const BigInt z3 = c.mul(q.z, h);
  return {x3, y3, z3};
}

}  // namespace

Curve::Curve() {
  p_ = (BigInt(1) << 255) - BigInt(19);
  const BigInt A(kMontgomeryA);
  const BigInt third = inverse(BigInt(3));
  // a = (3 - A^2)/3, b = (2A^3 - 9A)/27, shift = A/3, all mod p.
  a_ = mul(sub(BigInt(3), mul(A, A)), third);
  const BigInt twoA3 = mul(BigInt(2), mul(A, mul(A, A)));
  b_ = mul(sub(twoA3, mul(BigInt(9), A)), inverse(BigInt(27)));
  shift_ = mul(A, third);
}

const Curve& Curve::curve25519() {
  static const Curve curve;
  return curve;
}

BigInt Curve::add(const BigInt& x, const BigInt& y) const { return (x + y) % p_; }

BigInt Curve::sub(const BigInt& x, const BigInt& y) const { return (x % p_ + p_ - y % p_) % p_; }

BigInt Curve::mul(const BigInt& x, const BigInt& y) const { return x * y % p_; }

BigInt Curve::negate(const BigInt& x) const { return sub(BigInt(), x); }

BigInt Curve::inverse(const BigInt& x) const { return BigInt::powMod(x, p_ - BigInt(2), p_); }

// Atkin's method for p = 5 (mod 8): b = (2x)^((p-5)/8), i = 2x b^2, root = x b (i - 1).
std::optional<BigInt> Curve::squareRoot(const BigInt& x) const {
  const BigInt twoX = add(x, x);
  const BigInt b = BigInt::powMod(twoX, (p_ - BigInt(5)) >> 3, p_);
  const BigInt i = mul(twoX, mul(b, b));
  const BigInt root = mul(mul(x, b), sub(i, BigInt(1)));
  if (mul(root, root) != reduce(x)) return std::nullopt;
  return root;
}

ECPoint::ECPoint(const Curve& curve) : curve_(&curve), infinity_(true) {}

ECPoint::ECPoint(const Curve& curve, BigInt x, BigInt y)
    : curve_(&curve), x_(std::move(x)), y_(std::move(y)), infinity_(false) {}

ECPoint ECPoint::fromMontgomery(const Curve& curve, const BigInt& u, const BigInt& v) {
  return ECPoint(curve, curve.add(u, curve.shift()), curve.reduce(v));
}

ECPoint ECPoint::base(const Curve& curve) {
  const BigInt u(9);
  const BigInt w = curve.add(curve.mul(u, curve.mul(u, u)),
                             curve.add(curve.mul(BigInt(kMontgomeryA), curve.mul(u, u)), u));
  BigInt v = *curve.squareRoot(w);  // 39420360 is a square mod p
  if (v.isOdd()) v = curve.negate(v);
  return fromMontgomery(curve, u, v);
}

ECPoint ECPoint::fromBin(const Curve& curve, const std::uint8_t* data, std::size_t length) {
  if (length < 3 || data[0] != 0x04 || (length - 1) % 2 != 0) return ECPoint(curve);
  const std::size_t half = (length - 1) / 2;
  return ECPoint(curve, BigInt::fromBytesBE(data + 1, half),
                 BigInt::fromBytesBE(data + 1 + half, half));
}

BigInt ECPoint::montgomeryU() const {
  if (infinity_) return BigInt();
  return curve_->sub(x_, curve_->shift());
}

bool ECPoint::isOnCurve() const {
  if (infinity_) return true;
  const Curve& c = *curve_;
  const BigInt rhs = c.add(c.mul(x_, c.mul(x_, x_)), c.add(c.mul(c.a(), x_), c.b()));
  return c.mul(y_, y_) == rhs;
}

ECPoint ECPoint::add(const ECPoint& other) const {
  if (infinity_) return other;
  if (other.infinity_) return *this;
  const Curve& c = *curve_;
  BigInt slope;
  if (c.reduce(x_) == c.reduce(other.x_)) {
    if (c.add(y_, other.y_).isZero()) return ECPoint(c);
    return twice();
  }
  slope = c.mul(c.sub(other.y_, y_), c.inverse(c.sub(other.x_, x_)));
  const BigInt x3 = c.sub(c.sub(c.mul(slope, slope), x_), other.x_);
  const BigInt y3 = c.sub(c.mul(slope, c.sub(x_, x3)), y_);
  return ECPoint(c, x3, y3);
}

ECPoint ECPoint::twice() const {
  const Curve& c = *curve_;
  if (infinity_ || c.reduce(y_).isZero()) return ECPoint(c);
  const BigInt numerator = c.add(c.mul(BigInt(3), c.mul(x_, x_)), c.a());
  const BigInt slope = c.mul(numerator, c.inverse(c.add(y_, y_)));
  const BigInt x3 = c.sub(c.mul(slope, slope), c.add(x_, x_));
  const BigInt y3 = c.sub(c.mul(slope, c.sub(x_, x3)), y_);
  return ECPoint(c, x3, y3);
}

ECPoint ECPoint::negated() const {
  if (infinity_) return *this;
  return ECPoint(*curve_, curve_->reduce(x_), curve_->negate(y_));
}

ECPoint ECPoint::multiply(const BigInt& scalar) const {
  const Curve& c = *curve_;
  if (infinity_) return *this;
  const BigInt x = c.reduce(x_);
  const BigInt y = c.reduce(y_);
  Jacobian q{BigInt(1), BigInt(1), BigInt()};
  for (std::size_t i = scalar.bitLength(); i-- > 0;) {
    q = jacobianTwice(c, q);
    if (scalar.bit(i)) q = jacobianAddAffine(c, q, x, y);
  }
  if (q.z.isZero()) return ECPoint(c);
  const BigInt zInverse = c.inverse(q.z);
  const BigInt zz = c.mul(zInverse, zInverse);
  return ECPoint(c, c.mul(q.x, zz), c.mul(q.y, c.mul(zz, zInverse)));
}

std::vector<unsigned char> ECPoint::toBin(unsigned int len) const {
  std::vector<unsigned char> out{0x04};
  for (const BigInt* coordinate : {&x_, &y_}) {
    std::vector<unsigned char> tmp = coordinate->toBytesBE();
    if (tmp.size() < len) tmp.insert(tmp.begin(), len - tmp.size(), 0);
    if (!(tmp.size() == len)) {
      assertionFailed("ec", __LINE__, "vector<unsigned char> ECPoint::toBin(unsigned int) const",
                      "tmp.size() == len");
    }
    out.insert(out.end(), tmp.begin(), tmp.end());
  }
  return out;
}

bool operator==(const ECPoint& a, const ECPoint& b) {
  if (a.infinity_ || b.infinity_) return a.infinity_ == b.infinity_;
  const Curve& c = *a.curve_;
  return c.reduce(a.x_) == c.reduce(b.x_) && c.reduce(a.y_) == c.reduce(b.y_);
}

}  // namespace vl
