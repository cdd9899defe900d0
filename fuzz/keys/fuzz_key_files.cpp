// Any key file text either is refused or parses to keys whose formatted file parses back
// to the same keys and formats to the same text; a secret file's public part is what the
// public reader takes from it.
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/signing/signing.h"

namespace {

bool sameKeys(const vl::KeySet& a, const vl::KeySet& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void checkPublic(const vl::KeySet& keys) {
  const std::string text = vl::formatKeySet(keys, {"fuzz"});
  std::string error;
  const std::optional<vl::KeySet> again = vl::parseKeySet(text, error);
  if (!again || !sameKeys(*again, keys) || vl::formatKeySet(*again, {"fuzz"}) != text) {
    std::abort();
  }
}

void checkSecret(const vl::SecretKeySet& secret) {
  const std::string text = vl::formatSecretKeys(secret, {});
  std::string error;
  const std::optional<vl::SecretKeySet> again = vl::parseSecretKeys(text, error);
  if (!again || !sameKeys(again->keys, secret.keys) ||
      std::memcmp(again->schemeOneSecret, secret.schemeOneSecret, 32) != 0 ||
      std::memcmp(again->schemeOneNonceKey, secret.schemeOneNonceKey, 32) != 0 ||
      std::memcmp(again->ed25519Seed, secret.ed25519Seed, 32) != 0 ||
      vl::formatSecretKeys(*again, {}) != text) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<vl::KeySet> keys = vl::parseKeySet(text, error);
  if (keys) checkPublic(*keys);
  const std::optional<vl::SecretKeySet> secret = vl::parseSecretKeys(text, error);
  if (!secret) return 0;
  if (!keys || !sameKeys(*keys, secret->keys)) std::abort();
  checkSecret(*secret);
  return 0;
}
