#include "crypto/signature.h"

#include "crypto/provisioning.h"

namespace vl {
namespace {

KeySet provisionedKeys() {
  KeySet keys{};
  for (int i = 0; i < 8; ++i) keys.sigHashInit[i] = provisioned::kSigHashInit[i];
  for (int i = 0; i < 64; ++i) keys.sigHashRounds[i] = provisioned::kSigHashRounds[i];
  for (int i = 0; i < 32; ++i) keys.k1[i] = provisioned::kSchemeOneKey[i];
  for (int i = 0; i < 32; ++i) keys.k2[i] = provisioned::kEd25519Key[i];
  return keys;
}

}  // namespace

const KeySet& builtInKeys() {
  static const KeySet keys = provisionedKeys();
  return keys;
}

std::uint8_t signatureLevel(const KeySet& keys, const std::uint8_t digest[32],
                            const std::uint8_t* payload, std::size_t length) {
  if (length != 68 && length != 132) return 0;
  if (length == 132 && ed25519Verify(keys.k2, 32, digest, 32, payload + 68, 64)) return 2;
  return schemeOneVerify(keys, digest, payload) ? 1 : 0;
}

}  // namespace vl
