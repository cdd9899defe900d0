// Signatures made by the signing library with a fixed key set, so that the checks can be
// pinned on processors where the signing library is not built.
#pragma once

#include <cstdint>
#include <vector>

#include "crypto/signature.h"

namespace vl::testing {

// deriveKeys() of this material gives the test key set below.
std::vector<std::uint8_t> testKeyMaterial();
KeySet testKeys();

struct KnownSignature {
  const char* digest;   // 20 bytes (SHA-1) or 32 (SHA-256), hexadecimal
  const char* payload;  // 68 or 132 bytes, hexadecimal
  std::uint8_t level;
};

extern const KnownSignature kKnownSignatures[3];

// A signature by keys/dev.secret, for the built-in (development) keys.
extern const KnownSignature kDevelopmentSignature;
extern const char kDevelopmentK1[];

}  // namespace vl::testing
