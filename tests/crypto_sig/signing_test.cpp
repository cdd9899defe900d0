// The signing library (host only): the known answers come from it, its signatures check
// under random keys and digests, and its key files refuse what they cannot use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "crypto/ec.h"
#include "known_answers.h"
#include "test_support.h"
#include "tests/support/files.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

SecretKeySet testSecret() { return *deriveKeys(testing::testKeyMaterial().data()); }

std::uint8_t levelOf(const KeySet& keys, const std::uint8_t* digest, std::size_t digestLength,
                     const std::vector<std::uint8_t>& payload) {
  std::uint8_t buffer[32] = {};
  std::memcpy(buffer, digest, digestLength);
  return signatureLevel(keys, buffer, payload.data(), payload.size());
}

TEST(Signing, ReproducesTheKnownAnswers) {
  const SecretKeySet secret = testSecret();
  const KeySet known = testing::testKeys();
  EXPECT_EQ(std::memcmp(&secret.keys, &known, sizeof known), 0);
  for (const auto& known : testing::kKnownSignatures) {
    const std::vector<std::uint8_t> digest = testing::fromHex(known.digest);
    const auto schemes = known.level == 2 ? SignatureSchemes::Both : SignatureSchemes::SchemeOne;
    EXPECT_EQ(signaturePayload(secret, digest.data(), digest.size(), schemes),
              testing::fromHex(known.payload));
  }
  const std::uint8_t digest[33] = {};
  for (std::size_t length : {0, 19, 21, 31, 33}) {  // no digest has these lengths
    EXPECT_TRUE(signaturePayload(secret, digest, length, SignatureSchemes::Both).empty()) << length;
  }
}

TEST(Signing, SignaturesCheckUnderRandomKeysAndDigests) {
  testing::RandomBytes random(99);
  bool parities[2] = {false, false};
  for (int round = 0; round < 6 || !parities[0] || !parities[1]; ++round) {
    ASSERT_LT(round, 40);
    const std::optional<SecretKeySet> secret = deriveKeys(random.take(kKeyMaterialSize).data());
    ASSERT_TRUE(secret.has_value());
    const BigInt x = testing::fromBytes32(secret->schemeOneSecret);
    parities[ECPoint::base(Curve::curve25519()).multiply(x).y().isOdd()] = true;
    for (std::size_t digestLength : {20, 32}) {
      const std::vector<std::uint8_t> digest = random.take(digestLength);
      const auto both =
          signaturePayload(*secret, digest.data(), digestLength, SignatureSchemes::Both);
      const auto one =
          signaturePayload(*secret, digest.data(), digestLength, SignatureSchemes::SchemeOne);
      EXPECT_EQ(levelOf(secret->keys, digest.data(), digestLength, both), 2);
      EXPECT_EQ(levelOf(secret->keys, digest.data(), digestLength, one), 1);
      EXPECT_TRUE(std::equal(one.begin(), one.end(), both.begin()));
      std::vector<std::uint8_t> other = digest;
      other[round % 20] ^= 0x10;
      EXPECT_EQ(levelOf(secret->keys, other.data(), digestLength, both), 0);
    }
  }
}

// A secret file whose public keys belong to other secrets would sign packages that no
// board accepts: loading refuses it, and so does signing with it.
TEST(Signing, RefusesPublicKeysThatDoNotBelongToTheSecrets) {
  EXPECT_TRUE(keysMatch(testSecret()));
  const std::uint8_t digest[20] = {1, 2, 3};
  for (const bool first : {true, false}) {
    SecretKeySet secret = testSecret();
    (first ? secret.keys.k1[0] : secret.keys.k2[5]) ^= 1;
    EXPECT_FALSE(keysMatch(secret));
    EXPECT_TRUE(signaturePayload(secret, digest, 20,
                                 first ? SignatureSchemes::SchemeOne : SignatureSchemes::Both)
                    .empty());
  }
}

TEST(KeyFiles, RefusesMalformedText) {
  const std::string good = formatKeySet(testSecret().keys, {});
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {replaced("k2 = ", "# k2 = "), "field 'k2' is missing"},
      {replaced("k1 = 5e", "k1 = 5"), "must hold 64 hexadecimal digits, has 63"},
      {replaced("k1 = 5e", "k1 = 5g"), "not hexadecimal"},
      {good + "k1 = " + std::string(64, '0') + "\n", "given twice"},
      {good + "k3 = 00\n", "unknown field 'k3'"},
      {good + "k3\n", "expected 'name = hexadecimal value'"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parseKeySet(c.text, error).has_value()) << c.error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(error.rfind("line ", 0) == 0, std::strcmp(c.error, "field 'k2' is missing") != 0)
        << error;
  }
}

TEST(KeyFiles, LoadingChecksTheKeysAndNamesTheFile) {
  const testing::TempDir work;
  const std::string dir = work.path();
  const SecretKeySet secret = testSecret();
  std::string error;
  const std::string good = dir + "/good", bad = dir + "/bad";
  SecretKeySet wrong = secret;
  wrong.keys.k2[0] ^= 1;
  ASSERT_TRUE(writeFileAtomically(good, formatSecretKeys(secret, {}), 0600, false, error));
  ASSERT_TRUE(writeFileAtomically(bad, formatSecretKeys(wrong, {}), 0600, false, error));
  EXPECT_TRUE(loadSecretKeys(good, error).has_value()) << error;
  EXPECT_TRUE(loadKeySet(good, error).has_value()) << error;
  EXPECT_FALSE(loadSecretKeys(bad, error).has_value());
  EXPECT_NE(error.find(bad + ": k1 or k2 does not belong"), std::string::npos) << error;
  EXPECT_FALSE(loadKeySet(dir + "/none", error).has_value());
  EXPECT_NE(error.find(dir + "/none"), std::string::npos) << error;
}

}  // namespace
}  // namespace vl
