// Ed25519 checks: the published vectors, forgeries and the particulars of this system's
// check (unreduced S accepted, y not tested against p, the neutral element refused).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/edwards25519.h"
#include "crypto/hash.h"
#include "crypto/signature.h"
#include "tests/crypto_sig/test_support.h"

namespace vl {
namespace {

using testing::fromHex;

struct Vector {
  const char* name;
  const char* seed;
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1, 2 and 3.
const Vector kVectors[] = {
    {"test1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
     "b46bd25bf5f0595bbe24655141438e7a100b"},
    {"test2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f1"
     "1d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"test3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f76098"
     "4dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

struct Case {
  std::vector<std::uint8_t> key, message, signature;
};

Case load(const Vector& v) {
  return {fromHex(v.publicKey), fromHex(v.message), fromHex(v.signature)};
}

bool verify(const Case& c) {
  return ed25519Verify(c.key.data(), c.key.size(), c.message.data(), c.message.size(),
                       c.signature.data(), c.signature.size());
}

// The clamped secret scalar of an RFC 8032 seed.
BigInt secretScalar(const std::vector<std::uint8_t>& seed) {
  std::uint8_t h[64];
  Sha512 sha;
  sha.update(seed.data(), seed.size()).final(h);
  h[0] &= 0xF8;
  h[31] = static_cast<std::uint8_t>((h[31] & 0x7F) | 0x40);
  return BigInt::fromBytesLE(h, 32);
}

BigInt challenge(const std::uint8_t* r, const std::vector<std::uint8_t>& key,
                 const std::vector<std::uint8_t>& message) {
  std::uint8_t h[64];
  Sha512 sha;
  sha.update(r, 32).update(key.data(), 32).update(message.data(), message.size()).final(h);
  return BigInt::fromBytesLE(h, 64) % testing::groupOrder();
}

TEST(Ed25519, AcceptsThePublishedVectors) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    EXPECT_TRUE(verify(load(v)));
  }
}

// One bit per byte (a different bit each time) of signature, key and message, and every
// bit of the last bytes of R and S, where the sign bit and the top of S live.
TEST(Ed25519, RejectsChangedBits) {
  for (const Vector& v : kVectors) {
    const Case original = load(v);
    for (int part = 0; part < 3; ++part) {
      Case c = original;
      std::vector<std::uint8_t>& bytes = part == 0 ? c.signature : part == 1 ? c.key : c.message;
      for (std::size_t bit = 0; bit < 8 * bytes.size(); ++bit) {
        if (bit / 8 % 8 != bit % 8 && !(part == 0 && bit / 8 % 32 == 31)) continue;
        bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << bit % 8);
        EXPECT_FALSE(verify(c)) << v.name << " part " << part << " bit " << bit;
        bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << bit % 8);
      }
    }
    Case longer = original;
    longer.message.push_back(0);
    EXPECT_FALSE(verify(longer));
  }
}

TEST(Ed25519, RefusesWrongLengths) {
  Case c = load(kVectors[1]);
  c.key.resize(33);
  c.signature.resize(65);
  const std::pair<int, int> lengths[] = {{31, 64}, {33, 64}, {0, 64}, {32, 63}, {32, 65}, {32, 0}};
  for (auto [key, signature] : lengths) {
    EXPECT_FALSE(ed25519Verify(c.key.data(), key, c.message.data(), c.message.size(),
                               c.signature.data(), signature))
        << key << " " << signature;
  }
}

// S is used as a 256-bit integer: S + nL gives the same [S]B and is accepted.
TEST(Ed25519, AcceptsUnreducedS) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    const Case original = load(v);
    const BigInt s = BigInt::fromBytesLE(original.signature.data() + 32, 32);
    int accepted = 0;
    for (BigInt t = s + testing::groupOrder(); t.bitLength() <= 256;
         t = t + testing::groupOrder()) {
      Case c = original;
      ASSERT_TRUE(t.toBytesLE(c.signature.data() + 32, 32));
      EXPECT_TRUE(verify(c)) << t.toHex();
      ++accepted;
    }
    EXPECT_GE(accepted, 14);
    Case off = original;
    ASSERT_TRUE((s + testing::groupOrder() + BigInt(1)).toBytesLE(off.signature.data() + 32, 32));
    EXPECT_FALSE(verify(off));
  }
}

// A key that is the neutral element would make [S]B = R + [k]A hold for R = [S]B and
// any message; R = (0, 1) with S = k a would hold for a real key. Both are refused, in
// canonical and non-canonical (y = p + 1) encoding.
TEST(Ed25519, RefusesTheNeutralElementAsKeyOrR) {
  const std::vector<std::uint8_t> neutralEncodings[] = {
      fromHex("0100000000000000000000000000000000000000000000000000000000000000"),
      fromHex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")};
  const Case original = load(kVectors[2]);
  const BigInt& order = testing::groupOrder();
  for (const auto& neutral : neutralEncodings) {
    Case forgedKey = original;
    forgedKey.key = neutral;
    std::uint8_t s[32] = {5};
    EdPoint r;
    edScalarMultiplyBase(r, s);
    edEncode(forgedKey.signature.data(), r);
    std::copy(s, s + 32, forgedKey.signature.begin() + 32);
    EXPECT_FALSE(verify(forgedKey));

    Case forgedR = original;
    std::copy(neutral.begin(), neutral.end(), forgedR.signature.begin());
    const BigInt k = challenge(forgedR.signature.data(), forgedR.key, forgedR.message);
    const BigInt sValue = k * secretScalar(fromHex(kVectors[2].seed)) % order;
    ASSERT_TRUE(sValue.toBytesLE(forgedR.signature.data() + 32, 32));
    EXPECT_FALSE(verify(forgedR));
  }
}

}  // namespace
}  // namespace vl
