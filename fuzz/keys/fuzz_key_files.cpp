// Any key file text either is refused or parses to keys whose formatted file parses back
// and formats to the same text (the text holds every key byte); a secret file's public
// part is what the public reader takes from it.
#include <cstdlib>
#include <string>

#include "tools/signing/signing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<vl::KeySet> keys = vl::parseKeySet(text, error);
  const std::string publicText = keys ? vl::formatKeySet(*keys, {"a comment"}) : "";
  const std::optional<vl::KeySet> again = vl::parseKeySet(publicText, error);
  if (keys && (!again || vl::formatKeySet(*again, {"a comment"}) != publicText)) std::abort();
  const std::optional<vl::SecretKeySet> secret = vl::parseSecretKeys(text, error);
  if (!secret) return 0;
  if (!keys || vl::formatKeySet(secret->keys, {"a comment"}) != publicText) std::abort();
  const std::string secretText = vl::formatSecretKeys(*secret, {});
  const std::optional<vl::SecretKeySet> secretAgain = vl::parseSecretKeys(secretText, error);
  if (!secretAgain || vl::formatSecretKeys(*secretAgain, {}) != secretText) std::abort();
  return 0;
}
