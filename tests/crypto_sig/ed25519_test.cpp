// Ed25519 checks: a published vector, forgeries and the particulars of this system's
// check (unreduced S accepted, y not tested against p, the neutral element refused).
#include <gtest/gtest.h>

#include <vector>

#include "crypto/edwards25519.h"
#include "crypto/hash.h"
#include "crypto/signature.h"
#include "tests/crypto_sig/test_support.h"

namespace vl {
namespace {

using testing::fromHex;
using Bytes = std::vector<std::uint8_t>;

// RFC 8032 section 7.1, test 3.
const char kSeed[] = "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7";
struct Case {
  Bytes key = fromHex("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025");
  Bytes message = fromHex("af82");
  Bytes signature = fromHex(
      "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f76098"
      "4dc6594a7c15e9716ed28dc027beceea1ec40a");
  bool verify(std::size_t keySize = 32, std::size_t signatureSize = 64) const {
    return ed25519Verify(key.data(), keySize, message.data(), message.size(), signature.data(),
                         signatureSize);
  }
};

BigInt hashScalar(std::initializer_list<std::pair<const std::uint8_t*, std::size_t>> parts,
                  std::size_t take) {
  std::uint8_t h[64];
  Sha512 sha;
  for (auto [data, size] : parts) sha.update(data, size);
  sha.final(h);
  if (take == 32) h[0] &= 0xF8, h[31] = static_cast<std::uint8_t>((h[31] & 0x7F) | 0x40);
  return BigInt::fromBytesLE(h, take);
}

// One bit per byte (a different bit each time) of signature, key and message, every bit
// of the last bytes of R and S (the sign bit and the top of S), and the wrong lengths.
TEST(Ed25519, AcceptsThePublishedVectorOnlyUnchanged) {
  Case c;
  EXPECT_TRUE(c.verify());
  for (Bytes* bytes : {&c.signature, &c.key, &c.message}) {
    for (std::size_t bit = 0; bit < 8 * bytes->size(); ++bit) {
      if (bit / 8 % 8 != bit % 8 && !(bytes == &c.signature && bit / 8 % 32 == 31)) continue;
      (*bytes)[bit / 8] ^= static_cast<std::uint8_t>(1u << bit % 8);
      EXPECT_FALSE(c.verify()) << bytes->size() << " bytes, bit " << bit;
      (*bytes)[bit / 8] ^= static_cast<std::uint8_t>(1u << bit % 8);
    }
  }
  c.key.resize(33);
  c.signature.resize(65);
  for (auto [key, signature] : {std::pair{31, 64}, {33, 64}, {0, 64}, {32, 63}, {32, 65}}) {
    EXPECT_FALSE(c.verify(key, signature)) << key << " " << signature;
  }
}

// S is used as a 256-bit integer: S + 15L gives the same [S]B and is accepted.
TEST(Ed25519, AcceptsUnreducedS) {
  Case c;
  const BigInt s = BigInt::fromBytesLE(c.signature.data() + 32, 32);
  for (int extra : {0, 1}) {
    ASSERT_TRUE((s + BigInt(15) * testing::groupOrder() + BigInt(extra))
                    .toBytesLE(c.signature.data() + 32, 32));
    EXPECT_EQ(c.verify(), extra == 0);
  }
}

// A key that is the neutral element would make [S]B = R + [k]A hold for R = [S]B and
// any message; R = (0, 1) with S = k a would hold for a real key. Both are refused, in
// canonical and non-canonical (y = p + 1) encoding.
TEST(Ed25519, RefusesTheNeutralElementAsKeyOrR) {
  for (const char* neutral : {"0100000000000000000000000000000000000000000000000000000000000000",
                              "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"}) {
    Case forgedKey;
    forgedKey.key = fromHex(neutral);
    std::uint8_t s[32] = {5};
    EdPoint r;
    edScalarMultiplyBase(r, s);
    edEncode(forgedKey.signature.data(), r);
    std::copy(s, s + 32, forgedKey.signature.begin() + 32);
    EXPECT_FALSE(forgedKey.verify());

    Case forgedR;
    std::copy_n(fromHex(neutral).begin(), 32, forgedR.signature.begin());
    const BigInt k = hashScalar(
        {{forgedR.signature.data(), 32}, {forgedR.key.data(), 32}, {forgedR.message.data(), 2}},
        64);
    const BigInt& order = testing::groupOrder();
    ASSERT_TRUE((k % order * hashScalar({{fromHex(kSeed).data(), 32}}, 32) % order)
                    .toBytesLE(forgedR.signature.data() + 32, 32));
    EXPECT_FALSE(forgedR.verify());
  }
}

}  // namespace
}  // namespace vl
