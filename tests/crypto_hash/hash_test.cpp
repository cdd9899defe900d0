// Published answers (FIPS 180-4 examples, RFC 2202, RFC 4231) and answers computed with
// OpenSSL, so that the boards' processor, where no oracle runs, is checked too; every
// split of a message against the one-shot digest; the byte count past 4 GiB; on the host
// OpenSSL as an independent oracle.
#include <gtest/gtest.h>

#include "crypto/hash.h"
#include "crypto/provisioning.h"
#include "tests/support/hex.h"
#ifdef VL_HASH_ORACLE
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#endif

namespace vl::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Algorithm { kSha1, kSha256, kSha512 };
constexpr Algorithm kAllAlgorithms[] = {Algorithm::kSha1, Algorithm::kSha256, Algorithm::kSha512};

inline std::unique_ptr<BlockHash> makeHash(Algorithm algorithm) {
  if (algorithm == Algorithm::kSha1) return std::make_unique<Sha1>();
  if (algorithm == Algorithm::kSha256) return std::make_unique<Sha256>();
  return std::make_unique<Sha512>();
}

// A message of n bytes that differs for every length and has no short period.
inline Bytes patternMessage(std::size_t n) {
  Bytes message(n);
  for (std::size_t i = 0; i < n; ++i)
    message[i] = static_cast<std::uint8_t>(n + i * i * 31 + (i >> 3));
  return message;
}

inline std::string digestHex(BlockHash& hash, const Bytes& message) {
  hash.update(message.data(), message.size());
  Bytes out(hash.digestSize());
  hash.final(out.data());
  return toHex(out);
}

// Per hash: "abc" and the two-block message of FIPS 180-4, then the chained answer
// H(H(m0) || H(m1) || ... || H(m300)) over patternMessage(n), computed with OpenSSL: every
// padding boundary on the boards' processor.
TEST(HashKnownAnswers, FipsExamplesAndEveryLengthUpTo300) {
  const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const struct {
    Algorithm algorithm;
    std::string twoBlocks;
    const char *abc, *twoBlockDigest, *chained;
  } answers[] = {
      {Algorithm::kSha1, k448, "a9993e364706816aba3e25717850c26c9cd0d89d",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1", "75fd30a9a997d7e3219194085bab85fb593f6d16"},
      {Algorithm::kSha256, k448, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
       "2082dd9914e352be55a6bf10053177981d9b404295c1f392d81425006e0bbb44"},
      {Algorithm::kSha512,
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3f"
       "eebbd454d4423643ce80e2a9ac94fa54ca49f",
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b"
       "5433ac7d329eeb6dd26545e96e55b874be909",
       "65b1b397a039587953c6d2b6afc66082968b30ac150ae6fbad620be0952ecd46a3c585d05a203aec4ab5543b806"
       "1fae03832146a3ab04601a8a3019820e83c65"},
  };
  for (const auto& answer : answers) {
    auto hash = makeHash(answer.algorithm);
    EXPECT_EQ(digestHex(*hash, {'a', 'b', 'c'}), answer.abc);
    EXPECT_EQ(digestHex(*hash, Bytes(answer.twoBlocks.begin(), answer.twoBlocks.end())),
              answer.twoBlockDigest);
    auto chain = makeHash(answer.algorithm);
    for (std::size_t n = 0; n <= 300; ++n) {
      const Bytes one = fromHex(digestHex(*hash, patternMessage(n)));
      chain->update(one.data(), one.size());
    }
    EXPECT_EQ(digestHex(*chain, {}), answer.chained);
  }
}

// One object for all splits and then byte by byte: each final must also leave it ready
// for a new message.
TEST(HashStreaming, EverySplitPointMatchesOneShot) {
  const Bytes message = patternMessage(300);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto hash = makeHash(algorithm);
    const std::string expected = digestHex(*hash, message);
    for (std::size_t split = 0; split <= message.size(); ++split) {
      hash->update(message.data(), split);
      EXPECT_EQ(digestHex(*hash, Bytes(message.begin() + split, message.end())), expected)
          << "split at " << split;
    }
    for (std::uint8_t byte : message) hash->update(&byte, 1);
    EXPECT_EQ(digestHex(*hash, {}), expected) << "byte by byte";
  }
}

// Keeps the last block it is given, so that the length field of a message of gigabytes
// can be checked without hashing it.
class RecordingHash final : public BlockHash {
 public:
  std::uint32_t lengthFieldSize() const override { return 8; }
  std::uint32_t blockSize() const override { return 64; }
  std::uint32_t digestSize() const override { return 0; }
  void init() override {}
  void compress() override { last.assign(block_ + 56, block_ + 64); }
  void continueAt(std::uint64_t count) {
    countHigh_ = static_cast<std::uint32_t>(count >> 32);
    countLow_ = static_cast<std::uint32_t>(count);
  }
  Bytes last;
};

// 100 bytes after 0xffffffc0: the byte count carries into its high word.
TEST(HashStreaming, ByteCountCarriesPastFourGigabytes) {
  RecordingHash hash;
  hash.continueAt(0xffffffc0);
  hash.update(patternMessage(100).data(), 100);
  hash.final(nullptr);
  EXPECT_EQ(toHex(hash.last), "0000000800000120");
}

// Keys longer than a block are hashed first; the inner hash is handed over mid-message: the HMAC
// must start it afresh.
TEST(HmacKnownAnswers, RfcVectors) {
  const std::string kLargerKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
  const struct {
    Algorithm algorithm;
    Bytes key;
    std::string message;
    const char* mac;
  } answers[] = {
      {Algorithm::kSha1, Bytes(80, 0xaa), kLargerKeyFirst,
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {Algorithm::kSha256, Bytes(131, 0xaa), kLargerKeyFirst,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Algorithm::kSha512, Bytes(131, 0xaa), kLargerKeyFirst,
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d"
       "6a1e5295e64f73f63f0aec8b915a985d786598"},
  };
  for (const auto& answer : answers) {
    auto inner = makeHash(answer.algorithm);
    inner->update("left over", 9);
    Hmac hmac(*inner, answer.key.data(), static_cast<std::uint32_t>(answer.key.size()));
    EXPECT_EQ(digestHex(hmac, Bytes(answer.message.begin(), answer.message.end())), answer.mac)
        << answer.key.size() << " byte key";
  }
}

std::string sigHash(const std::uint32_t init[8], const std::uint32_t rounds[64], const Bytes& m) {
  Bytes out(32);
  sigHash256(init, rounds, out.data(), m.data(), m.size());
  return toHex(out);
}

// Tables unlike any standard ones (answers from an independent script), so that a mix-up
// with built-in values shows, over the padding boundaries; the built-in form uses the
// provisioned tables.
TEST(SigHash256, TablesAsGiven) {
  std::uint32_t init[8];
  std::uint32_t rounds[64];
  for (std::uint32_t i = 0; i < 8; ++i) init[i] = 0x01234567u * (i + 1);
  for (std::uint32_t i = 0; i < 64; ++i) rounds[i] = i * 0x9e3779b9u + 0x7f4a7c15u;
  const std::pair<std::size_t, const char*> cases[] = {
      {0, "4c3f4cd9fe77ccf6c51c9e47701fcc04cac5b736741d5b679431503b24765b11"},
      {55, "5173a17d792342f4a25db5ba8502ca489760cab0508c0726383cf96cbe650fd3"},
      {56, "9c8ee40f606bbf778047a0138c3d82c7b76a8af5ba0648fc986f198340e67c19"},
      {64, "ae5dcd593f16400c2496c069e2a2936d5324725f2627438ab28765e748540672"},
      {119, "bce5462013438380e8c86a36a71ab4e84932362013ccac61f391b868ab244a10"},
      {300, "23f023204c4ffb157dbb0c20bf3159b2795bbf03ef9875cde9cd3abff4b6ce1e"},
  };
  for (const auto& [length, digest] : cases) {
    EXPECT_EQ(sigHash(init, rounds, patternMessage(length)), digest) << length << " bytes";
  }
  const Bytes message = patternMessage(32);
  Bytes builtIn(32);
  sigHash256(builtIn.data(), message.data(), message.size());
  EXPECT_EQ(toHex(builtIn),
            sigHash(provisioned::kSigHashInit, provisioned::kSigHashRounds, message));
}

// Every hash and HMAC against OpenSSL on the host: all short lengths, long random messages
// fed in random pieces, and keys around the block size.
#ifdef VL_HASH_ORACLE
const EVP_MD* oracleOf(Algorithm algorithm) {
  const EVP_MD* const mds[] = {EVP_sha1(), EVP_sha256(), EVP_sha512()};
  return mds[static_cast<int>(algorithm)];
}

Bytes randomBytes(std::size_t n, std::mt19937& rng) {
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

TEST(HashOracle, EveryShortLengthAndLongMessagesInPieces) {
  std::mt19937 rng(10);
  std::uniform_int_distribution<std::size_t> longLength(301, 200000);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto hash = makeHash(algorithm);
    // Pieces of random sizes, empty ones and ones longer than a block included.
    std::uniform_int_distribution<std::size_t> pieceSize(0, 2 * hash->blockSize() + 3);
    for (std::size_t n = 0; n <= 312; ++n) {
      const Bytes message = randomBytes(n < 301 ? n : longLength(rng), rng);
      for (std::size_t at = 0, piece; n >= 301 && at < message.size(); at += piece) {
        piece = std::min(pieceSize(rng), message.size() - at);
        hash->update(message.data() + at, piece);
      }
      Bytes expected(EVP_MAX_MD_SIZE);
      unsigned int length = 0;
      EVP_Digest(message.data(), message.size(), expected.data(), &length, oracleOf(algorithm),
                 nullptr);
      expected.resize(length);
      EXPECT_EQ(digestHex(*hash, n < 301 ? message : Bytes{}), toHex(expected))
          << static_cast<int>(algorithm) << " of " << message.size();
    }
  }
}

TEST(HmacOracle, KeyAndMessageLengthsAroundTheBlock) {
  std::mt19937 rng(12);
  for (Algorithm algorithm : kAllAlgorithms) {
    auto inner = makeHash(algorithm);
    const std::size_t block = inner->blockSize();
    for (std::size_t keyLength : {std::size_t{0}, block - 1, block, block + 1, 2 * block + 7}) {
      const Bytes key = randomBytes(keyLength + 1, rng);  // OpenSSL refuses a null key
      Hmac hmac(*inner, key.data(), static_cast<std::uint32_t>(keyLength));
      for (std::size_t messageLength : {std::size_t{0}, block - 9, block + 1, std::size_t{1000}}) {
        const Bytes message = randomBytes(messageLength, rng);
        Bytes expected(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        HMAC(oracleOf(algorithm), key.data(), static_cast<int>(keyLength), message.data(),
             message.size(), expected.data(), &length);
        expected.resize(length);
        EXPECT_EQ(digestHex(hmac, message), toHex(expected))
            << static_cast<int>(algorithm) << " key " << keyLength << " message " << messageLength;
      }
    }
  }
}

#endif

}  // namespace
}  // namespace vl::testing
