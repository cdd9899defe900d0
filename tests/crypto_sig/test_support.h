// Helpers shared by the signature tests: deterministic random bytes and the integer value
// of field elements, so results can be compared with an independent computation.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "crypto/bigint.h"
#include "crypto/field25519.h"
#include "tests/support/hex.h"

namespace vl::testing {

// Reproducible pseudo-random bytes: a failing case can be run again.
struct RandomBytes {
  explicit RandomBytes(std::uint64_t seed) : engine(seed) {}
  void fill(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(engine());
  }
  std::vector<std::uint8_t> take(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    fill(out.data(), n);
    return out;
  }
  std::mt19937_64 engine;
};

inline const BigInt& fieldPrime() {
  static const BigInt p = (BigInt(1) << 255) - BigInt(19);
  return p;
}

inline const BigInt& groupOrder() {
  static const BigInt l =
      *BigInt::fromHex("1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed");
  return l;
}

// The 32 little-endian bytes of value, which must fit.
inline std::vector<std::uint8_t> bytes32(const BigInt& value) {
  std::vector<std::uint8_t> out(32);
  if (!value.toBytesLE(out.data(), out.size())) out.clear();
  return out;
}

inline BigInt fromBytes32(const std::uint8_t* bytes) { return BigInt::fromBytesLE(bytes, 32); }

// sum limb_i * 2^weight_i mod p, with negative limbs taken as such.
inline BigInt fieldValue(const Fe& f) {
  static constexpr int kWeight[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
  BigInt sum[2];
  for (int i = 0; i < 10; ++i) {
    const std::int64_t limb = f.v[i];
    sum[limb < 0] =
        sum[limb < 0] + (BigInt(static_cast<std::uint64_t>(std::abs(limb))) << kWeight[i]);
  }
  return (sum[0] % fieldPrime() + fieldPrime() - sum[1] % fieldPrime()) % fieldPrime();
}

// The canonical value of f through feToBytes.
inline BigInt packedValue(const Fe& f) {
  std::uint8_t s[32];
  feToBytes(s, f);
  return fromBytes32(s);
}

}  // namespace vl::testing
