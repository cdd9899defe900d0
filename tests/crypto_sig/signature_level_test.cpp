// Trust levels of signature part payloads: known signatures of both forms, the bytes
// that each scheme covers and those it leaves alone, and the payload lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/signature.h"
#include "tests/crypto_sig/known_answers.h"
#include "tests/crypto_sig/test_support.h"

namespace vl {
namespace {

using testing::fromHex;

struct Signed {
  std::vector<std::uint8_t> digest;  // the 32-byte buffer, zero after a SHA-1 digest
  std::vector<std::uint8_t> payload;
};

Signed load(const testing::KnownSignature& known) {
  Signed s{fromHex(known.digest), fromHex(known.payload)};
  s.digest.resize(32, 0);
  return s;
}

std::uint8_t level(const KeySet& keys, const Signed& s) {
  return signatureLevel(keys, s.digest.data(), s.payload.data(), s.payload.size());
}

TEST(SignatureLevel, KnownSignaturesGiveTheirLevel) {
  const KeySet keys = testing::testKeys();
  for (const auto& known : testing::kKnownSignatures) {
    EXPECT_EQ(level(keys, load(known)), known.level) << known.digest;
  }
}

TEST(SignatureLevel, BuiltInKeysAreTheProvisionedDevelopmentSet) {
  if (std::memcmp(builtInKeys().k1, fromHex(testing::kDevelopmentK1).data(), 32) != 0) {
    GTEST_SKIP() << "built with a provisioning file other than keys/dev.provision";
  }
  EXPECT_EQ(level(builtInKeys(), load(testing::kDevelopmentSignature)), 2);
  EXPECT_EQ(level(testing::testKeys(), load(testing::kDevelopmentSignature)), 0);
}

// A 132-byte payload whose Ed25519 half is wrong still carries a valid scheme-1
// signature in its first 68 bytes.
TEST(SignatureLevel, BrokenEd25519HalfFallsBackToSchemeOne) {
  const KeySet keys = testing::testKeys();
  for (std::size_t at : {std::size_t{68}, std::size_t{99}, std::size_t{100}, std::size_t{131}}) {
    Signed s = load(testing::kKnownSignatures[0]);
    s.payload[at] ^= 0x01;
    EXPECT_EQ(level(keys, s), 1) << at;
  }
  // Bytes 20-31 of a SHA-256 digest enter Ed25519 but not scheme 1.
  Signed s = load(testing::kKnownSignatures[1]);
  s.digest[25] ^= 0x80;
  EXPECT_EQ(level(keys, s), 1);
}

TEST(SignatureLevel, OnlyTheTwoPayloadLengthsAreChecked) {
  const Signed s = load(testing::kKnownSignatures[0]);
  for (std::size_t length : {0, 20, 67, 68, 69, 131}) {
    EXPECT_EQ(signatureLevel(testing::testKeys(), s.digest.data(), s.payload.data(), length),
              length == 68 ? 1 : 0)
        << length;
  }
}

// Every bit of r, s and of the 20 digest bytes enters scheme 1; payload bytes 0-19 do
// not.
TEST(SignatureLevel, SchemeOneCoversRSAndTheFirst20DigestBytes) {
  const KeySet keys = testing::testKeys();
  const Signed original = load(testing::kKnownSignatures[2]);
  ASSERT_EQ(level(keys, original), 1);
  for (std::size_t bit = 0; bit < 8 * 68; ++bit) {
    Signed s = original;
    const bool covered = bit >= 8 * 20;
    (covered ? s.payload[bit / 8] : s.digest[bit / 8]) ^= static_cast<std::uint8_t>(1u << bit % 8);
    EXPECT_EQ(level(keys, s), 0) << "byte " << bit / 8 << " bit " << bit % 8;
    if (bit % 8 == 0 && !covered) {
      s = original;
      s.payload[bit / 8] ^= 0x81;
      EXPECT_EQ(level(keys, s), 1) << "payload byte " << bit / 8;
    }
  }
}

TEST(SignatureLevel, OtherKeysGiveLevelZero) {
  KeySet keys = testing::testKeys();
  keys.sigHashRounds[17] ^= 1;  // the hash constants are part of the key
  EXPECT_EQ(level(keys, load(testing::kKnownSignatures[2])), 0);
  EXPECT_EQ(level(keys, load(testing::kKnownSignatures[0])), 2);  // Ed25519 does not use them
  keys = testing::testKeys();
  keys.k2[3] ^= 4;
  EXPECT_EQ(level(keys, load(testing::kKnownSignatures[0])), 1);
}

}  // namespace
}  // namespace vl
