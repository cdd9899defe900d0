// Every hash against OpenSSL on the host: all short lengths and long random messages,
// fed whole and in random pieces.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>

#include "crypto/hash.h"
#include "tests/crypto_hash/hash_test_support.h"

namespace vl::testing {
namespace {

const EVP_MD* oracleOf(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::kSha1:
      return EVP_sha1();
    case Algorithm::kSha256:
      return EVP_sha256();
    case Algorithm::kSha512:
      return EVP_sha512();
  }
  return nullptr;
}

Bytes oracleDigest(Algorithm algorithm, const Bytes& message) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EXPECT_EQ(
      EVP_Digest(message.data(), message.size(), out.data(), &length, oracleOf(algorithm), nullptr),
      1);
  out.resize(length);
  return out;
}

Bytes oracleHmac(Algorithm algorithm, const Bytes& key, const Bytes& message) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  // OpenSSL refuses a null key even with length 0.
  static const std::uint8_t noKey = 0;
  EXPECT_NE(HMAC(oracleOf(algorithm), key.empty() ? &noKey : key.data(),
                 static_cast<int>(key.size()), message.data(), message.size(), out.data(), &length),
            nullptr);
  out.resize(length);
  return out;
}

TEST(HashOracle, EveryLengthUpTo300) {
  std::mt19937 rng(10);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto hash = makeHash(algorithm);
    for (std::size_t n = 0; n <= 300; ++n) {
      SCOPED_TRACE(std::string(nameOf(algorithm)) + " of " + std::to_string(n) + " bytes");
      const Bytes message = randomBytes(n, rng);
      const Bytes expected = oracleDigest(algorithm, message);
      EXPECT_EQ(toHex(digestWhole(*hash, message)), toHex(expected));
      EXPECT_EQ(toHex(digestInPieces(*hash, message, rng)), toHex(expected));
    }
  }
}

TEST(HashOracle, RandomLongMessages) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::size_t> length(301, 200000);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto hash = makeHash(algorithm);
    for (int i = 0; i < 12; ++i) {
      const Bytes message = randomBytes(length(rng), rng);
      SCOPED_TRACE(std::string(nameOf(algorithm)) + " of " + std::to_string(message.size()));
      const Bytes expected = oracleDigest(algorithm, message);
      EXPECT_EQ(toHex(digestWhole(*hash, message)), toHex(expected));
      EXPECT_EQ(toHex(digestInPieces(*hash, message, rng)), toHex(expected));
    }
  }
}

TEST(HmacOracle, KeyAndMessageLengthsAroundTheBlock) {
  std::mt19937 rng(12);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto inner = makeHash(algorithm);
    const std::size_t block = inner->blockSize();
    for (std::size_t keyLength : {std::size_t{0}, std::size_t{1}, std::size_t{20}, block - 1, block,
                                  block + 1, 2 * block + 7}) {
      const Bytes key = randomBytes(keyLength, rng);
      Hmac hmac(*inner, key.data(), static_cast<std::uint32_t>(key.size()));
      for (std::size_t messageLength :
           {std::size_t{0}, std::size_t{1}, block - 9, block, block + 1, std::size_t{1000}}) {
        SCOPED_TRACE(std::string(nameOf(algorithm)) + " key " + std::to_string(keyLength) +
                     " message " + std::to_string(messageLength));
        const Bytes message = randomBytes(messageLength, rng);
        const Bytes expected = oracleHmac(algorithm, key, message);
        EXPECT_EQ(toHex(digestWhole(hmac, message)), toHex(expected));
        EXPECT_EQ(toHex(digestInPieces(hmac, message, rng)), toHex(expected));
      }
    }
  }
}

}  // namespace
}  // namespace vl::testing
