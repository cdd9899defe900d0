// The signing side of package signatures, for the PC tools only (never linked into the
// installer): key files, key generation, scheme-1 and Ed25519 signing, and the payload
// of a signature part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/signature.h"

namespace vl {

// A complete key set: the public part as provisioned into the installer, and the
// secrets that sign for it. Secrets are wiped when the object goes.
struct SecretKeySet {
  KeySet keys{};
  std::uint8_t schemeOneSecret[32] = {};    // x, little-endian, 0 < x < L
  std::uint8_t schemeOneNonceKey[32] = {};  // keys the deterministic scheme-1 nonces
  std::uint8_t ed25519Seed[32] = {};        // RFC 8032 private key

  SecretKeySet() = default;
  SecretKeySet(const SecretKeySet& other) = default;
  SecretKeySet& operator=(const SecretKeySet& other) = default;
  ~SecretKeySet();
};

// Text forms: "name = hex" lines, "#" comments. The public file holds sighash-init,
// sighash-rounds, k1 and k2 (the provisioning file of the build); the secret file holds
// those and s1-secret, s1-nonce-key and ed25519-seed.
std::optional<KeySet> parseKeySet(std::string_view text, std::string& error);
std::optional<SecretKeySet> parseSecretKeys(std::string_view text, std::string& error);
std::string formatKeySet(const KeySet& keys, const std::vector<std::string>& comments);
std::string formatSecretKeys(const SecretKeySet& secret, const std::vector<std::string>& comments);

// A public provisioning file (a secret file is accepted too: its public part is taken).
std::optional<KeySet> loadKeySet(const std::string& path, std::string& error);
// A secret file whose public keys must belong to its secrets.
std::optional<SecretKeySet> loadSecretKeys(const std::string& path, std::string& error);

// Writes content to a new temporary file beside path (same directory, the mode given,
// synced); its name, or nothing with error set.
std::optional<std::string> writeTemporary(const std::string& path, std::string_view content,
                                          unsigned mode, std::string& error);

// Writes content to path through a temporary file in the same directory and a rename,
// so path is either untouched or complete. Refuses an existing path unless replace.
[[nodiscard]] bool writeFileAtomically(const std::string& path, std::string_view content,
                                       unsigned mode, bool replace, std::string& error);

// A new key set from the system random source (getrandom).
std::optional<SecretKeySet> generateKeys(std::string& error);
// The key set that random material determines, in this order: 64 bytes reduced mod L
// for the scheme-1 scalar, the 32-byte nonce key, the 32-byte Ed25519 seed, then the
// sigHash256 initial state (32 bytes) and round constants (256 bytes) as big-endian
// words. Nothing when the scalar comes out as 0, 1 or L - 1 (a key of no use).
inline constexpr std::size_t kKeyMaterialSize = 64 + 32 + 32 + 32 + 256;
std::optional<SecretKeySet> deriveKeys(const std::uint8_t material[kKeyMaterialSize]);

// The public keys that the secrets give: K1 = u([x]G) and K2 = the Ed25519 key.
void schemeOnePublicKey(const std::uint8_t secret[32], std::uint8_t k1[32]);
void ed25519PublicKey(const std::uint8_t seed[32], std::uint8_t k2[32]);
// True when k1 and k2 of the set are those of its secrets.
bool keysMatch(const SecretKeySet& secret);

// Payload bytes 0-67 of a scheme-1 signature over 20 digest bytes; bytes 0-19 are not
// examined by the check and are zero. The nonce is derived from the secret nonce key and
// the digest, so the same digest always gives the same signature.
std::array<std::uint8_t, 68> signSchemeOne(const SecretKeySet& secret,
                                           const std::uint8_t digest[20]);
// RFC 8032 Ed25519.
std::array<std::uint8_t, 64> signEd25519(const SecretKeySet& secret, const std::uint8_t* message,
                                         std::size_t length);

enum class SignatureSchemes { SchemeOne, Both };

// The payload of a signature part: 68 bytes (scheme 1) or 132 (scheme 1, then Ed25519
// over the 32-byte digest buffer). digest is a SHA-1 (20 bytes) or SHA-256 (32 bytes)
// digest as the package reader finishes it; any other length gives an empty result.
std::vector<std::uint8_t> signaturePayload(const SecretKeySet& secret, const std::uint8_t* digest,
                                           std::size_t digestLength, SignatureSchemes schemes);

}  // namespace vl
