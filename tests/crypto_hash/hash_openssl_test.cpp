// Every hash and HMAC against OpenSSL on the host: all short lengths, long random
// messages fed in random pieces, and keys around the block size.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

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

std::string oracleDigest(Algorithm algorithm, const Bytes& message) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EXPECT_EQ(
      EVP_Digest(message.data(), message.size(), out.data(), &length, oracleOf(algorithm), nullptr),
      1);
  out.resize(length);
  return toHex(out);
}

std::string oracleHmac(Algorithm algorithm, const Bytes& key, const Bytes& message) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  static const std::uint8_t noKey = 0;  // OpenSSL refuses a null key even with length 0
  EXPECT_NE(HMAC(oracleOf(algorithm), key.empty() ? &noKey : key.data(),
                 static_cast<int>(key.size()), message.data(), message.size(), out.data(), &length),
            nullptr);
  out.resize(length);
  return toHex(out);
}

Bytes randomBytes(std::size_t n, std::mt19937& rng) {
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// Pieces of random sizes, empty ones and ones longer than a block included.
std::string digestInPieces(BlockHash& hash, const Bytes& message, std::mt19937& rng) {
  std::uniform_int_distribution<std::size_t> size(0, 2 * hash.blockSize() + 3);
  for (std::size_t at = 0, piece; at < message.size(); at += piece) {
    piece = std::min(size(rng), message.size() - at);
    hash.update(message.data() + at, piece);
  }
  return digestHex(hash, {});
}

TEST(HashOracle, EveryShortLengthAndLongMessagesInPieces) {
  std::mt19937 rng(10);
  std::uniform_int_distribution<std::size_t> longLength(301, 200000);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto hash = makeHash(algorithm);
    for (std::size_t n = 0; n <= 312; ++n) {
      const Bytes message = randomBytes(n < 301 ? n : longLength(rng), rng);
      SCOPED_TRACE(std::string(nameOf(algorithm)) + " of " + std::to_string(message.size()));
      const std::string expected = oracleDigest(algorithm, message);
      EXPECT_EQ(n < 301 ? digestHex(*hash, message) : digestInPieces(*hash, message, rng),
                expected);
    }
  }
}

TEST(HmacOracle, KeyAndMessageLengthsAroundTheBlock) {
  std::mt19937 rng(12);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto inner = makeHash(algorithm);
    const std::size_t block = inner->blockSize();
    for (std::size_t keyLength :
         {std::size_t{0}, std::size_t{20}, block - 1, block, block + 1, 2 * block + 7}) {
      const Bytes key = randomBytes(keyLength, rng);
      Hmac hmac(*inner, key.data(), static_cast<std::uint32_t>(key.size()));
      for (std::size_t messageLength : {std::size_t{0}, block - 9, block + 1, std::size_t{1000}}) {
        SCOPED_TRACE(std::string(nameOf(algorithm)) + " key " + std::to_string(keyLength) +
                     " message " + std::to_string(messageLength));
        const Bytes message = randomBytes(messageLength, rng);
        EXPECT_EQ(digestHex(hmac, message), oracleHmac(algorithm, key, message));
      }
    }
  }
}

}  // namespace
}  // namespace vl::testing
