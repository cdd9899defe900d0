// Published answers (FIPS 180-4 examples, RFC 2202, RFC 4231) and answers computed with
// OpenSSL, so that the boards' processor, where no oracle runs, is checked too; every
// split of a message against the one-shot digest; the byte count past 4 GiB.
#include <gtest/gtest.h>

#include "crypto/hash.h"
#include "crypto/provisioning.h"
#include "tests/crypto_hash/hash_test_support.h"

namespace vl::testing {
namespace {

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
    "qrsmnopqrstnopqrstu";

struct Answer {
  Algorithm algorithm;
  std::string message;
  std::size_t repeat;
  const char* digest;
};

// 56 and 112 bytes are the messages whose padding needs a second block.
const Answer kFipsAnswers[] = {
    {Algorithm::kSha1, "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {Algorithm::kSha1, k448, 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {Algorithm::kSha1, "a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {Algorithm::kSha256, "abc", 1,
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {Algorithm::kSha256, k448, 1,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {Algorithm::kSha256, "a", 1000000,
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {Algorithm::kSha512, "abc", 1,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fee"
     "bbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {Algorithm::kSha512, k896, 1,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b54"
     "33a"
     "c7d329eeb6dd26545e96e55b874be909"},
    {Algorithm::kSha512, "a", 1000000,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c"
     "31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(HashKnownAnswers, FipsExamples) {
  for (const Answer& answer : kFipsAnswers) {
    SCOPED_TRACE(std::string(nameOf(answer.algorithm)) + " of " + answer.message + " x" +
                 std::to_string(answer.repeat));
    auto hash = makeHash(answer.algorithm);
    for (std::size_t i = 0; i < answer.repeat; ++i) {
      hash->update(answer.message.data(), answer.message.size());
    }
    EXPECT_EQ(digestHex(*hash, {}), answer.digest);
  }
}

// H(H(m0) || H(m1) || ... || H(m300)) over patternMessage(n), computed with OpenSSL:
// every padding boundary on the boards' processor.
struct ChainAnswer {
  Algorithm algorithm;
  const char* digest;
};

const ChainAnswer kChainAnswers[] = {
    {Algorithm::kSha1, "75fd30a9a997d7e3219194085bab85fb593f6d16"},
    {Algorithm::kSha256, "2082dd9914e352be55a6bf10053177981d9b404295c1f392d81425006e0bbb44"},
    {Algorithm::kSha512,
     "65b1b397a039587953c6d2b6afc66082968b30ac150ae6fbad620be0952ecd46a3c585d05a203aec4ab5543b8061f"
     "ae0"
     "3832146a3ab04601a8a3019820e83c65"},
};

TEST(HashKnownAnswers, EveryLengthUpTo300) {
  for (const ChainAnswer& answer : kChainAnswers) {
    SCOPED_TRACE(nameOf(answer.algorithm));
    auto hash = makeHash(answer.algorithm);
    auto chain = makeHash(answer.algorithm);
    for (std::size_t n = 0; n <= 300; ++n) {
      const Bytes digest = fromHex(digestHex(*hash, patternMessage(n)));
      chain->update(digest.data(), digest.size());
    }
    EXPECT_EQ(digestHex(*chain, {}), answer.digest);
  }
}

// One object for all splits and then byte by byte: each final must also leave it ready
// for a new message.
TEST(HashStreaming, EverySplitPointMatchesOneShot) {
  const Bytes message = patternMessage(300);
  for (Algorithm algorithm : kAllAlgorithms) {
    SCOPED_TRACE(nameOf(algorithm));
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

// Keeps every block it is given, so that the length field of a message of gigabytes can
// be checked without hashing it.
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

TEST(HashStreaming, ByteCountCarriesPastFourGigabytes) {
  const struct {
    std::uint64_t start;
    std::size_t added;
    const char* lengthField;  // the last 8 bytes of the last block
  } cases[] = {
      {0x1fffffc0, 64, "0000000100000000"},         // the bit count outgrows 32 bits
      {0xffffffc0, 100, "0000000800000120"},        // the byte count carries into its high word
      {0xfffffff0, 16, "0000000800000000"},         // exactly 4 GiB
      {0x2ffffffffc0ull, 300, "0000180000000760"},  // far past it
  };
  for (const auto& c : cases) {
    RecordingHash hash;
    hash.continueAt(c.start);
    const Bytes message = patternMessage(c.added);
    hash.update(message.data(), message.size());
    hash.final(nullptr);
    ASSERT_FALSE(hash.blocks.empty());
    EXPECT_EQ(toHex(std::span(hash.blocks.back()).last(8)), c.lengthField) << c.start;
  }
}

struct HmacAnswer {
  const char* name;
  Algorithm algorithm;
  Bytes key;
  std::string message;
  const char* mac;
};

const std::string kLargerKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
const std::string kLargerBoth =
    "This is a test using a larger than block-size key and a larger than block-size data. The key "
    "needs to be hashed before being used by the HMAC algorithm.";

const HmacAnswer kHmacAnswers[] = {
    {"RFC 2202 case 1", Algorithm::kSha1, Bytes(20, 0x0b), "Hi There",
     "b617318655057264e28bc0b6fb378c8ef146be00"},
    {"RFC 2202 case 2", Algorithm::kSha1, fromText("Jefe"), "what do ya want for nothing?",
     "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {"RFC 2202 case 6", Algorithm::kSha1, Bytes(80, 0xaa), kLargerKeyFirst,
     "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {"RFC 2202 case 7", Algorithm::kSha1, Bytes(80, 0xaa),
     "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
     "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    {"RFC 4231 case 1", Algorithm::kSha256, Bytes(20, 0x0b), "Hi There",
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"RFC 4231 case 2", Algorithm::kSha256, fromText("Jefe"), "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"RFC 4231 case 6", Algorithm::kSha256, Bytes(131, 0xaa), kLargerKeyFirst,
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"RFC 4231 case 7", Algorithm::kSha256, Bytes(131, 0xaa), kLargerBoth,
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    {"RFC 4231 case 1", Algorithm::kSha512, Bytes(20, 0x0b), "Hi There",
     "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f"
     "4e4"
     "be9d914eeb61f1702e696c203a126854"},
    {"RFC 4231 case 2", Algorithm::kSha512, fromText("Jefe"), "what do ya want for nothing?",
     "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e"
     "6fd"
     "caeab1a34d4a6b4b636e070a38bce737"},
    {"RFC 4231 case 6", Algorithm::kSha512, Bytes(131, 0xaa), kLargerKeyFirst,
     "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1"
     "e52"
     "95e64f73f63f0aec8b915a985d786598"},
    {"RFC 4231 case 7", Algorithm::kSha512, Bytes(131, 0xaa), kLargerBoth,
     "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4d"
     "e15"
     "134676fb6de0446065c97440fa8c6a58"},
    // An empty message still goes through the inner pad (computed with OpenSSL).
    {"empty message", Algorithm::kSha1, fromText("key"), "",
     "f42bb0eeb018ebbd4597ae7213711ec60760843f"},
    {"empty message", Algorithm::kSha256, fromText("key"), "",
     "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0"},
    {"empty message", Algorithm::kSha512, fromText("key"), "",
     "84fa5aa0279bbc473267d05a53ea03310a987cecc4c1535ff29b6d76b8f1444a728df3aadb89d4a9a6709e1998f37"
     "356"
     "6e8f824a8ca93b1821f0b69bc2a2f65e"},
};

TEST(HmacKnownAnswers, RfcVectors) {
  for (const HmacAnswer& answer : kHmacAnswers) {
    SCOPED_TRACE(std::string(answer.name) + " " + nameOf(answer.algorithm));
    auto inner = makeHash(answer.algorithm);
    Hmac hmac(*inner, answer.key.data(), static_cast<std::uint32_t>(answer.key.size()));
    EXPECT_EQ(digestHex(hmac, fromText(answer.message)), answer.mac);
  }
}

TEST(HmacKnownAnswers, TextKeyAndInnerHashHandedOverMidMessage) {
  Sha256 inner;
  inner.update("left over", 9);
  Hmac hmac(inner, "Jefe");
  EXPECT_EQ(digestHex(hmac, fromText("what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

constexpr std::uint32_t kFipsInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::uint32_t kFipsRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

Bytes sigHash(const std::uint32_t init[8], const std::uint32_t rounds[64], const Bytes& message) {
  Bytes out(32);
  sigHash256(init, rounds, out.data(), message.data(), message.size());
  return out;
}

// With the FIPS 180-4 tables the system's hash must be SHA-256 exactly: schedule,
// rounds, padding and output order.
TEST(SigHash256, FipsTablesGiveSha256) {
  Sha256 sha256;
  for (std::size_t n = 0; n <= 300; ++n) {
    const Bytes message = patternMessage(n);
    EXPECT_EQ(toHex(sigHash(kFipsInit, kFipsRounds, message)), digestHex(sha256, message))
        << n << " bytes";
  }
}

// Tables unlike any standard ones, so that a mix-up of the initial state or the round
// constants with the built-in values shows. Answers from an independent script.
TEST(SigHash256, OwnTablesKnownAnswers) {
  std::uint32_t init[8];
  std::uint32_t rounds[64];
  for (std::uint32_t i = 0; i < 8; ++i) init[i] = 0x01234567u * (i + 1);
  for (std::uint32_t i = 0; i < 64; ++i) rounds[i] = i * 0x9e3779b9u + 0x7f4a7c15u;
  const struct {
    std::size_t length;
    const char* digest;
  } cases[] = {
      {0, "4c3f4cd9fe77ccf6c51c9e47701fcc04cac5b736741d5b679431503b24765b11"},
      {20, "b267faf02b346ef6153136b2c5b4debb55ff65aa3506914ffc02b72bdcf4eb61"},
      {32, "9399f9a411a04138458dc674fe3574c9bd0d2b64ca4ca29d878a4229502126b2"},
      {55, "5173a17d792342f4a25db5ba8502ca489760cab0508c0726383cf96cbe650fd3"},
      {56, "9c8ee40f606bbf778047a0138c3d82c7b76a8af5ba0648fc986f198340e67c19"},
      {64, "ae5dcd593f16400c2496c069e2a2936d5324725f2627438ab28765e748540672"},
      {119, "bce5462013438380e8c86a36a71ab4e84932362013ccac61f391b868ab244a10"},
      {300, "23f023204c4ffb157dbb0c20bf3159b2795bbf03ef9875cde9cd3abff4b6ce1e"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toHex(sigHash(init, rounds, patternMessage(c.length))), c.digest)
        << c.length << " bytes";
  }
}

TEST(SigHash256, BuiltInFormUsesProvisionedTables) {
  for (std::size_t n : {20, 32}) {
    const Bytes message = patternMessage(n);
    Bytes builtIn(32);
    sigHash256(builtIn.data(), message.data(), message.size());
    EXPECT_EQ(toHex(builtIn),
              toHex(sigHash(provisioned::kSigHashInit, provisioned::kSigHashRounds, message)));
    EXPECT_NE(toHex(builtIn), toHex(sigHash(kFipsInit, kFipsRounds, message)));
  }
}

}  // namespace
}  // namespace vl::testing
