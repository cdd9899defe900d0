// The hashes under test and the ways of feeding them, for the known answers and the
// comparison with OpenSSL.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "tests/support/hex.h"

namespace vl::testing {

using Bytes = std::vector<std::uint8_t>;

enum class Algorithm { kSha1, kSha256, kSha512 };
constexpr Algorithm kAllAlgorithms[] = {Algorithm::kSha1, Algorithm::kSha256, Algorithm::kSha512};

inline const char* nameOf(Algorithm algorithm) {
  const char* const names[] = {"SHA-1", "SHA-256", "SHA-512"};
  return names[static_cast<int>(algorithm)];
}

inline std::unique_ptr<BlockHash> makeHash(Algorithm algorithm) {
  if (algorithm == Algorithm::kSha1) return std::make_unique<Sha1>();
  if (algorithm == Algorithm::kSha256) return std::make_unique<Sha256>();
  return std::make_unique<Sha512>();
}

inline Bytes fromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A message of n bytes that differs for every length and has no short period.
inline Bytes patternMessage(std::size_t n) {
  Bytes message(n);
  for (std::size_t i = 0; i < n; ++i) {
    message[i] = static_cast<std::uint8_t>(n + i * i * 31 + (i >> 3));
  }
  return message;
}

inline std::string digestHex(BlockHash& hash, const Bytes& message) {
  hash.update(message.data(), message.size());
  Bytes out(hash.digestSize());
  hash.final(out.data());
  return toHex(out);
}

}  // namespace vl::testing
