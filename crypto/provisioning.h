// Key material built into the installer from the public provisioning file.
#pragma once

#include <cstdint>

namespace vl::provisioned {

// Initial state and round constants of sigHash256.
extern const std::uint32_t kSigHashInit[8];
extern const std::uint32_t kSigHashRounds[64];
// K1: u-coordinate of the scheme-1 public point, 32 bytes little-endian.
extern const std::uint8_t kSchemeOneKey[32];
// K2: Ed25519 public key, RFC 8032 encoding.
extern const std::uint8_t kEd25519Key[32];

}  // namespace vl::provisioned
