#include "crypto/bigint.h"

#include <algorithm>
#include <bit>

namespace vl {
namespace {

using Words = std::vector<std::uint32_t>;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Quotient and remainder of u by a single word d != 0.
std::uint32_t divideByWord(Words& quotient, const Words& u, std::uint32_t d) {
  quotient.assign(u.size(), 0);
  std::uint64_t rest = 0;
  for (std::size_t i = u.size(); i-- > 0;) {
    const std::uint64_t current = rest << 32 | u[i];
    quotient[i] = static_cast<std::uint32_t>(current / d);
    rest = current % d;
  }
  return static_cast<std::uint32_t>(rest);
}

// Long division of u (m words) by v (n >= 2 words, top word non-zero), m >= n, in base
// 2^32 with normalised divisor: each quotient digit is estimated from the top two
// words and corrected at most twice, then once more by an add-back.
void divideLong(Words& quotient, Words& remainder, const Words& u, const Words& v) {
  const std::size_t m = u.size();
  const std::size_t n = v.size();
  const int shift = std::countl_zero(v[n - 1]);
  Words vn(n);
  Words un(m + 1);
  for (std::size_t i = n - 1; i > 0; --i) {
    vn[i] = shift == 0 ? v[i] : (v[i] << shift | v[i - 1] >> (32 - shift));
  }
  vn[0] = v[0] << shift;
  un[m] = shift == 0 ? 0 : u[m - 1] >> (32 - shift);
  for (std::size_t i = m - 1; i > 0; --i) {
    un[i] = shift == 0 ? u[i] : (u[i] << shift | u[i - 1] >> (32 - shift));
  }
  un[0] = u[0] << shift;

  constexpr std::uint64_t kBase = std::uint64_t{1} << 32;
  quotient.assign(m - n + 1, 0);
  for (std::size_t j = m - n + 1; j-- > 0;) {
    const std::uint64_t top = static_cast<std::uint64_t>(un[j + n]) << 32 | un[j + n - 1];
    std::uint64_t qhat = top / vn[n - 1];
    std::uint64_t rhat = top % vn[n - 1];
    while (qhat >= kBase || qhat * vn[n - 2] > (rhat << 32 | un[j + n - 2])) {
      --qhat;
      rhat += vn[n - 1];
      if (rhat >= kBase) break;
    }
    std::int64_t borrow = 0;
    std::int64_t t = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t product = qhat * vn[i];
      t = static_cast<std::int64_t>(un[i + j]) - borrow -
          static_cast<std::int64_t>(product & 0xFFFFFFFFu);
      un[i + j] = static_cast<std::uint32_t>(t);
      borrow = static_cast<std::int64_t>(product >> 32) - (t >> 32);
    }
    t = static_cast<std::int64_t>(un[j + n]) - borrow;
    un[j + n] = static_cast<std::uint32_t>(t);
    quotient[j] = static_cast<std::uint32_t>(qhat);
    if (t < 0) {  // qhat was one too large: add the divisor back
      --quotient[j];
      std::uint64_t carry = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t sum = static_cast<std::uint64_t>(un[i + j]) + vn[i] + carry;
        un[i + j] = static_cast<std::uint32_t>(sum);
        carry = sum >> 32;
      }
      un[j + n] += static_cast<std::uint32_t>(carry);
    }
  }
  remainder.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    remainder[i] = shift == 0 ? un[i] : (un[i] >> shift | un[i + 1] << (32 - shift));
  }
}

}  // namespace

BigInt::BigInt(std::uint64_t value) {
  words_.push_back(static_cast<std::uint32_t>(value));
  words_.push_back(static_cast<std::uint32_t>(value >> 32));
  trim();
}

void BigInt::trim() {
  while (!words_.empty() && words_.back() == 0) words_.pop_back();
}

BigInt BigInt::fromBytesLE(const std::uint8_t* data, std::size_t length) {
  BigInt r;
  r.words_.assign((length + 3) / 4, 0);
  for (std::size_t i = 0; i < length; ++i) {
    r.words_[i / 4] |= static_cast<std::uint32_t>(data[i]) << (8 * (i % 4));
  }
  r.trim();
  return r;
}

BigInt BigInt::fromBytesBE(const std::uint8_t* data, std::size_t length) {
  std::vector<std::uint8_t> reversed(data, data + length);
  std::reverse(reversed.begin(), reversed.end());
  return fromBytesLE(reversed.data(), reversed.size());
}

std::optional<BigInt> BigInt::fromHex(std::string_view text) {
  if (text.empty()) return std::nullopt;
  BigInt r;
  r.words_.assign((text.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int digit = hexValue(text[text.size() - 1 - i]);
    if (digit < 0) return std::nullopt;
    r.words_[i / 8] |= static_cast<std::uint32_t>(digit) << (4 * (i % 8));
  }
  r.trim();
  return r;
}

std::vector<std::uint8_t> BigInt::toBytesBE() const {
  std::vector<std::uint8_t> out;
  const std::size_t bytes = (bitLength() + 7) / 8;
  for (std::size_t i = bytes; i-- > 0;) {
    out.push_back(static_cast<std::uint8_t>(words_[i / 4] >> (8 * (i % 4))));
  }
  return out;
}

bool BigInt::toBytesLE(std::uint8_t* out, std::size_t length) const {
  if ((bitLength() + 7) / 8 > length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = i / 4 < words_.size() ? static_cast<std::uint8_t>(words_[i / 4] >> (8 * (i % 4))) : 0;
  }
  return true;
}

std::string BigInt::toHex() const {
  if (words_.empty()) return "0";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = words_.size() * 8; i-- > 0;) {
    const std::uint32_t digit = (words_[i / 8] >> (4 * (i % 8))) & 0xFu;
    if (out.empty() && digit == 0) continue;
    out.push_back(kDigits[digit]);
  }
  return out;
}

std::size_t BigInt::bitLength() const {
  if (words_.empty()) return 0;
  return 32 * words_.size() - static_cast<std::size_t>(std::countl_zero(words_.back()));
}

std::uint32_t BigInt::bit(std::size_t index) const {
  if (index / 32 >= words_.size()) return 0;
  return (words_[index / 32] >> (index % 32)) & 1u;
}

std::strong_ordering operator<=>(const BigInt& a, const BigInt& b) {
  if (a.words_.size() != b.words_.size()) return a.words_.size() <=> b.words_.size();
  for (std::size_t i = a.words_.size(); i-- > 0;) {
    if (a.words_[i] != b.words_[i]) return a.words_[i] <=> b.words_[i];
  }
  return std::strong_ordering::equal;
}

BigInt operator+(const BigInt& a, const BigInt& b) {
  BigInt r;
  const std::size_t n = std::max(a.words_.size(), b.words_.size());
  r.words_.resize(n + 1);
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t x = i < a.words_.size() ? a.words_[i] : 0;
    const std::uint64_t y = i < b.words_.size() ? b.words_[i] : 0;
    const std::uint64_t sum = x + y + carry;
    r.words_[i] = static_cast<std::uint32_t>(sum);
    carry = sum >> 32;
  }
  r.words_[n] = static_cast<std::uint32_t>(carry);
  r.trim();
  return r;
}

BigInt operator-(const BigInt& a, const BigInt& b) {
  BigInt r;
  r.words_.resize(a.words_.size());
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < a.words_.size(); ++i) {
    const std::int64_t y = i < b.words_.size() ? b.words_[i] : 0;
    std::int64_t diff = static_cast<std::int64_t>(a.words_[i]) - y - borrow;
    borrow = diff < 0 ? 1 : 0;
    diff += borrow << 32;
    r.words_[i] = static_cast<std::uint32_t>(diff);
  }
  r.trim();
  return r;
}

BigInt operator*(const BigInt& a, const BigInt& b) {
  BigInt r;
  if (a.isZero() || b.isZero()) return r;
  r.words_.assign(a.words_.size() + b.words_.size(), 0);
  for (std::size_t i = 0; i < a.words_.size(); ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < b.words_.size(); ++j) {
      const std::uint64_t t =
          static_cast<std::uint64_t>(a.words_[i]) * b.words_[j] + r.words_[i + j] + carry;
      r.words_[i + j] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    r.words_[i + b.words_.size()] = static_cast<std::uint32_t>(carry);
  }
  r.trim();
  return r;
}

BigInt operator<<(const BigInt& a, std::size_t bits) {
  if (a.isZero()) return a;
  BigInt r;
  const std::size_t whole = bits / 32;
  const unsigned part = static_cast<unsigned>(bits % 32);
  r.words_.assign(a.words_.size() + whole + 1, 0);
  for (std::size_t i = 0; i < a.words_.size(); ++i) {
    const std::uint64_t shifted = static_cast<std::uint64_t>(a.words_[i]) << part;
    r.words_[i + whole] |= static_cast<std::uint32_t>(shifted);
    r.words_[i + whole + 1] |= static_cast<std::uint32_t>(shifted >> 32);
  }
  r.trim();
  return r;
}

BigInt operator>>(const BigInt& a, std::size_t bits) {
  BigInt r;
  const std::size_t whole = bits / 32;
  if (whole >= a.words_.size()) return r;
  const unsigned part = static_cast<unsigned>(bits % 32);
  r.words_.assign(a.words_.size() - whole, 0);
  for (std::size_t i = 0; i < r.words_.size(); ++i) {
    std::uint64_t pair = a.words_[i + whole];
    if (i + whole + 1 < a.words_.size()) {
      pair |= static_cast<std::uint64_t>(a.words_[i + whole + 1]) << 32;
    }
    r.words_[i] = static_cast<std::uint32_t>(pair >> part);
  }
  r.trim();
  return r;
}

bool BigInt::divMod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
  if (b.isZero()) return false;
  BigInt q;
  BigInt r;
  if (a < b) {
    r = a;
  } else if (b.words_.size() == 1) {
    r = BigInt(divideByWord(q.words_, a.words_, b.words_[0]));
  } else {
    divideLong(q.words_, r.words_, a.words_, b.words_);
  }
  q.trim();
  r.trim();
  quotient = std::move(q);
  remainder = std::move(r);
  return true;
}

BigInt operator%(const BigInt& a, const BigInt& b) {
  BigInt q;
  BigInt r;
  (void)BigInt::divMod(a, b, q, r);
  return r;
}

BigInt operator/(const BigInt& a, const BigInt& b) {
  BigInt q;
  BigInt r;
  (void)BigInt::divMod(a, b, q, r);
  return q;
}

BigInt BigInt::powMod(const BigInt& base, const BigInt& exponent, const BigInt& modulus) {
  if (modulus.isZero()) return BigInt();
  BigInt result = BigInt(1) % modulus;
  const BigInt b = base % modulus;
  for (std::size_t i = exponent.bitLength(); i-- > 0;) {
    result = result * result % modulus;
    if (exponent.bit(i)) result = result * b % modulus;
  }
  return result;
}

void BigInt::wipe() {
  volatile std::uint32_t* p = words_.data();
  for (std::size_t i = 0; i < words_.size(); ++i) p[i] = 0;
  words_.clear();
}

}  // namespace vl
