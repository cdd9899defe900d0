// Signature checks of package files: scheme 1 (x-only Curve25519 with sigHash256) and
// Ed25519. A trust level is 0 (no valid signature), 1 (scheme 1) or 2 (Ed25519).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl {

// The key material a check runs with: the built-in set on the board; the PC tools may
// load another from a provisioning file.
struct KeySet {
  std::uint32_t sigHashInit[8];
  std::uint32_t sigHashRounds[64];
  std::uint8_t k1[32];  // scheme-1 public u-coordinate, little-endian
  std::uint8_t k2[32];  // Ed25519 public key
};

const KeySet& builtInKeys();

// RFC 8032 verification with the system's particulars; false unless the signature is
// exactly 64 bytes and the key 32.
[[nodiscard]] bool ed25519Verify(const std::uint8_t* publicKey, std::size_t publicKeyLength,
                                 const std::uint8_t* message, std::size_t messageLength,
                                 const std::uint8_t* signature, std::size_t signatureLength);

// Scheme 1 over the first 20 bytes of digest; signature is payload bytes 0-67 (r at
// 20-35, s at 36-67).
[[nodiscard]] bool schemeOneVerify(const KeySet& keys, const std::uint8_t digest[20],
                                   const std::uint8_t signature[68]);

// The level of a signature part payload of exactly 68 or 132 bytes over the 32-byte
// digest buffer; any other length gives 0.
[[nodiscard]] std::uint8_t signatureLevel(const KeySet& keys, const std::uint8_t digest[32],
                                          const std::uint8_t* payload, std::size_t length);

}  // namespace vl
