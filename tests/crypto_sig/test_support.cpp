#include "tests/crypto_sig/test_support.h"

namespace vl::testing {

std::vector<std::uint8_t> RandomBytes::take(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  fill(out.data(), n);
  return out;
}

void RandomBytes::fill(std::uint8_t* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(engine_());
}

const BigInt& fieldPrime() {
  static const BigInt p = (BigInt(1) << 255) - BigInt(19);
  return p;
}

const BigInt& groupOrder() {
  static const BigInt l =
      *BigInt::fromHex("1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed");
  return l;
}

std::vector<std::uint8_t> bytes32(const BigInt& value) {
  std::vector<std::uint8_t> out(32);
  if (!value.toBytesLE(out.data(), out.size())) out.clear();
  return out;
}

BigInt fromBytes32(const std::uint8_t* bytes) { return BigInt::fromBytesLE(bytes, 32); }

BigInt fieldValue(const Fe& f) {
  static constexpr int kWeight[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
  BigInt positive, negative;
  for (int i = 0; i < 10; ++i) {
    const std::int64_t limb = f.v[i];
    const BigInt magnitude(static_cast<std::uint64_t>(limb < 0 ? -limb : limb));
    if (limb < 0) {
      negative = negative + (magnitude << kWeight[i]);
    } else {
      positive = positive + (magnitude << kWeight[i]);
    }
  }
  const BigInt& p = fieldPrime();
  return (positive % p + p - negative % p) % p;
}

BigInt packedValue(const Fe& f) {
  std::uint8_t s[32];
  feToBytes(s, f);
  return fromBytes32(s);
}

}  // namespace vl::testing
