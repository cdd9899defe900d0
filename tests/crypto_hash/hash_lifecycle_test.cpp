// The object lifecycle that the package reader relies on: lazy start, reset after
// final, and any chunking of the input.
#include <gtest/gtest.h>

#include <random>

#include "crypto/hash.h"
#include "tests/crypto_hash/hash_test_support.h"

namespace vl::testing {
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

// A block hash that keeps every block it is given, so that the byte count and the
// length field can be checked for messages of gigabytes without hashing them.
class RecordingHash final : public BlockHash {
 public:
  std::uint32_t lengthFieldSize() const override { return 8; }
  std::uint32_t blockSize() const override { return 64; }
  std::uint32_t digestSize() const override { return 0; }
  void init() override {}
  void compress() override { blocks.emplace_back(block_, block_ + 64); }
  void continueAt(std::uint64_t count) {
    countHigh_ = static_cast<std::uint32_t>(count >> 32);
    countLow_ = static_cast<std::uint32_t>(count);
  }
  std::vector<Bytes> blocks;
};

std::uint64_t lengthField(const Bytes& block) {
  std::uint64_t bits = 0;
  for (std::size_t i = 56; i < 64; ++i) bits = (bits << 8) | block[i];
  return bits;
}

TEST(HashLifecycle, ByteCountCarriesPastFourGigabytes) {
  const struct {
    std::uint64_t start;
    std::size_t added;
  } cases[] = {
      {0x1fffffc0, 64},         // the bit count outgrows 32 bits at 512 MiB
      {0xffffffc0, 100},        // the byte count carries into its high word
      {0xfffffff0, 16},         // exactly 4 GiB
      {0x2ffffffffc0ull, 300},  // far past it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    RecordingHash hash;
    hash.continueAt(c.start);
    const Bytes message = patternMessage(c.added);
    hash.update(message.data(), message.size());
    hash.final(nullptr);
    ASSERT_FALSE(hash.blocks.empty());
    EXPECT_EQ(lengthField(hash.blocks.back()), (c.start + c.added) * 8);
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

}  // namespace
}  // namespace vl::testing
