// The object lifecycle that the package reader relies on: lazy start, reset after
// final, and any chunking of the input.
#include <gtest/gtest.h>

#include <random>

#include "crypto/hash.h"
#include "tests/crypto_hash/hash_test_support.h"

namespace vl::hashtest {
namespace {

Bytes emptyDigest(Algorithm algorithm) {
  auto hash = makeHash(algorithm);
  return finish(*hash);
}

TEST(HashLifecycle, EmptyMessageWhateverEmptyUpdatesCame) {
  for (Algorithm algorithm : kAllAlgorithms) {
    SCOPED_TRACE(nameOf(algorithm));
    const Bytes expected = emptyDigest(algorithm);
    auto hash = makeHash(algorithm);
    hash->update(nullptr, 0);
    EXPECT_EQ(finish(*hash), expected);
    hash->update("", 0).update("", 0);
    EXPECT_EQ(finish(*hash), expected);
    // A second final without updates is the empty message again.
    EXPECT_EQ(finish(*hash), expected);
  }
}

TEST(HashLifecycle, FinalThenUpdateStartsAnIndependentMessage) {
  // First messages that end mid-block, on a block boundary and past the padding room.
  for (Algorithm algorithm : kAllAlgorithms) {
    for (std::size_t first : {1, 55, 64, 119, 128, 200}) {
      SCOPED_TRACE(std::string(nameOf(algorithm)) + " after " + std::to_string(first));
      auto reused = makeHash(algorithm);
      (void)digestWhole(*reused, patternMessage(first));
      const Bytes second = patternMessage(10);
      auto fresh = makeHash(algorithm);
      EXPECT_EQ(digestWhole(*reused, second), digestWhole(*fresh, second));
    }
  }
}

TEST(HashLifecycle, EverySplitPointMatchesOneShot) {
  const Bytes message = patternMessage(300);
  for (Algorithm algorithm : kAllAlgorithms) {
    SCOPED_TRACE(nameOf(algorithm));
    auto hash = makeHash(algorithm);
    const Bytes expected = digestWhole(*hash, message);
    for (std::size_t split = 0; split <= message.size(); ++split) {
      hash->update(message.data(), split);
      hash->update(message.data() + split, message.size() - split);
      EXPECT_EQ(finish(*hash), expected) << "split at " << split;
    }
  }
}

TEST(HashLifecycle, ByteByByteMatchesOneShot) {
  const Bytes message = patternMessage(260);
  for (Algorithm algorithm : kAllAlgorithms) {
    SCOPED_TRACE(nameOf(algorithm));
    auto hash = makeHash(algorithm);
    const Bytes expected = digestWhole(*hash, message);
    for (std::uint8_t byte : message) hash->update(&byte, 1);
    EXPECT_EQ(finish(*hash), expected);
  }
}

TEST(HmacLifecycle, LongKeyEqualsItsDigestAsKey) {
  std::mt19937 rng(4);
  const Bytes message = randomBytes(100, rng);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto inner = makeHash(algorithm);
    for (std::size_t keyLength : {std::size_t{inner->blockSize()} + 1, std::size_t{300}}) {
      SCOPED_TRACE(std::string(nameOf(algorithm)) + " key " + std::to_string(keyLength));
      const Bytes key = randomBytes(keyLength, rng);
      const Bytes keyDigest = digestWhole(*inner, key);
      Hmac longKey(*inner, key.data(), static_cast<std::uint32_t>(key.size()));
      const Bytes expected = digestWhole(longKey, message);
      auto other = makeHash(algorithm);
      Hmac shortKey(*other, keyDigest.data(), static_cast<std::uint32_t>(keyDigest.size()));
      EXPECT_EQ(digestWhole(shortKey, message), expected);
    }
  }
}

TEST(HmacLifecycle, KeyOfExactlyOneBlockIsNotHashed) {
  std::mt19937 rng(5);
  const Bytes message = randomBytes(30, rng);
  for (Algorithm algorithm : kAllAlgorithms) {
    SCOPED_TRACE(nameOf(algorithm));
    auto inner = makeHash(algorithm);
    const Bytes key = randomBytes(inner->blockSize(), rng);
    Hmac blockKey(*inner, key.data(), static_cast<std::uint32_t>(key.size()));
    auto other = makeHash(algorithm);
    const Bytes keyDigest = digestWhole(*other, key);
    Hmac digestKey(*other, keyDigest.data(), static_cast<std::uint32_t>(keyDigest.size()));
    EXPECT_NE(digestWhole(blockKey, message), digestWhole(digestKey, message));
  }
}

}  // namespace
}  // namespace vl::hashtest
