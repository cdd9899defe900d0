// Helpers shared by the signature tests: hex texts, deterministic random bytes and the
// integer value of field elements, so results can be compared with an independent
// computation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bigint.h"
#include "crypto/field25519.h"
#include "tests/support/hex.h"

namespace vl::testing {

// Reproducible pseudo-random bytes: a failing case can be run again.
class RandomBytes {
 public:
  explicit RandomBytes(std::uint64_t seed) : engine_(seed) {}
  std::vector<std::uint8_t> take(std::size_t n);
  void fill(std::uint8_t* out, std::size_t n);

 private:
  std::mt19937_64 engine_;
};

const BigInt& fieldPrime();
const BigInt& groupOrder();

// The 32 little-endian bytes of value, which must fit.
std::vector<std::uint8_t> bytes32(const BigInt& value);
BigInt fromBytes32(const std::uint8_t* bytes);
// sum limb_i * 2^weight_i mod p, with negative limbs taken as such.
BigInt fieldValue(const Fe& f);
// The canonical value of f through feToBytes.
BigInt packedValue(const Fe& f);

}  // namespace vl::testing
