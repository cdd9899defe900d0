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
  explicit Signed(const testing::KnownSignature& known)
      : digest(fromHex(known.digest)), payload(fromHex(known.payload)) {
    digest.resize(32, 0);  // zero after a SHA-1 digest
  }
  std::uint8_t level(const KeySet& keys = testing::testKeys(), std::size_t length = 0) const {
    return signatureLevel(keys, digest.data(), payload.data(), length ? length : payload.size());
  }
  std::vector<std::uint8_t> digest, payload;
};

TEST(SignatureLevel, KnownSignaturesGiveTheirLevelWithTheirKeysOnly) {
  for (const auto& known : testing::kKnownSignatures) {
    EXPECT_EQ(Signed(known).level(), known.level) << known.digest;
  }
  const Signed development(testing::kDevelopmentSignature);
  if (std::memcmp(builtInKeys().k1, fromHex(testing::kDevelopmentK1).data(), 32) == 0) {
    EXPECT_EQ(development.level(builtInKeys()), 2);
  }
  KeySet keys = testing::testKeys();
  keys.sigHashRounds[17] ^= 1;  // the hash constants are part of the key
  EXPECT_EQ(Signed(testing::kKnownSignatures[2]).level(keys), 0);
  EXPECT_EQ(Signed(testing::kKnownSignatures[0]).level(keys), 2);  // Ed25519 does not use them
}

// A 132-byte payload whose Ed25519 half is wrong, or whose digest differs in bytes 20-31
// (outside scheme 1), still carries a valid scheme-1 signature; other lengths carry none.
TEST(SignatureLevel, BrokenEd25519HalfFallsBackToSchemeOne) {
  for (std::size_t at : {68, 99, 100, 131, 132 + 25}) {
    Signed s(testing::kKnownSignatures[at > 131 ? 1 : 0]);
    (at > 131 ? s.digest[at - 132] : s.payload[at]) ^= 0x80;
    EXPECT_EQ(s.level(), 1) << at;
  }
  for (std::size_t length : {1, 20, 67, 68, 69, 131}) {
    EXPECT_EQ(Signed(testing::kKnownSignatures[0]).level(testing::testKeys(), length),
              length == 68 ? 1 : 0)
        << length;
  }
}

// Every bit of r, s and of the 20 digest bytes enters scheme 1; payload bytes 0-19 do
// not.
TEST(SignatureLevel, SchemeOneCoversRSAndTheFirst20DigestBytes) {
  const Signed original(testing::kKnownSignatures[2]);
  for (std::size_t bit = 0; bit < 8 * 68; ++bit) {
    Signed s = original;
    const bool covered = bit >= 8 * 20;
    (covered ? s.payload[bit / 8] : s.digest[bit / 8]) ^= static_cast<std::uint8_t>(1u << bit % 8);
    EXPECT_EQ(s.level(), 0) << "byte " << bit / 8 << " bit " << bit % 8;
    if (bit % 8 == 0 && !covered) {
      s = original;
      s.payload[bit / 8] ^= 0x81;
      EXPECT_EQ(s.level(), 1) << "payload byte " << bit / 8;
    }
  }
}

}  // namespace
}  // namespace vl
