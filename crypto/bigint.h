// A small unsigned arbitrary-precision integer for the point class and the signing side.
// Not used on the verification path, which runs in fixed-size arithmetic.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

class BigInt {
 public:
  BigInt() = default;
  explicit BigInt(std::uint64_t value);

  static BigInt fromBytesLE(const std::uint8_t* data, std::size_t length);
  static BigInt fromBytesBE(const std::uint8_t* data, std::size_t length);
  // Big-endian hexadecimal digits, no prefix; empty or non-hex text gives nothing.
  static std::optional<BigInt> fromHex(std::string_view text);

  // Minimal big-endian bytes: none for zero.
  std::vector<std::uint8_t> toBytesBE() const;
  // Exactly length bytes little-endian; false (out untouched) when the value needs more.
  [[nodiscard]] bool toBytesLE(std::uint8_t* out, std::size_t length) const;
  std::string toHex() const;

  bool isZero() const { return words_.empty(); }
  bool isOdd() const { return !words_.empty() && (words_[0] & 1u) != 0; }
  std::size_t bitLength() const;
  std::uint32_t bit(std::size_t index) const;

  friend bool operator==(const BigInt& a, const BigInt& b) { return a.words_ == b.words_; }
  friend std::strong_ordering operator<=>(const BigInt& a, const BigInt& b);

  friend BigInt operator+(const BigInt& a, const BigInt& b);
  // a - b for a >= b; for a < b the result is a - b + 2^(32 * words of a), which no
  // caller relies on.
  friend BigInt operator-(const BigInt& a, const BigInt& b);
  friend BigInt operator*(const BigInt& a, const BigInt& b);
  friend BigInt operator<<(const BigInt& a, std::size_t bits);
  friend BigInt operator>>(const BigInt& a, std::size_t bits);
  // Remainder and quotient; by zero both give zero (use divMod to tell).
  friend BigInt operator%(const BigInt& a, const BigInt& b);
  friend BigInt operator/(const BigInt& a, const BigInt& b);

  // quotient and remainder of a / b; false for b = 0 (outputs untouched).
  [[nodiscard]] static bool divMod(const BigInt& a, const BigInt& b, BigInt& quotient,
                                   BigInt& remainder);
  // base^exponent mod modulus; zero for a zero modulus.
  static BigInt powMod(const BigInt& base, const BigInt& exponent, const BigInt& modulus);

  // Overwrites the words before they are released, for secret values.
  void wipe();

 private:
  void trim();

  std::vector<std::uint32_t> words_;  // little-endian, no leading zero words
};

}  // namespace vl
