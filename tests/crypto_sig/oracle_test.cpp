// Cross-checks against independent libraries (host only, tests only): libsodium for
// Ed25519 signing and verification, OpenSSL's BIGNUM for the big-integer type.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <sodium.h>

#include <cstring>
#include <memory>

#include "crypto/bigint.h"
#include "crypto/signature.h"
#include "tests/crypto_sig/test_support.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

TEST(Ed25519Oracle, AgreesWithLibsodiumOnRandomKeysAndMessages) {
  ASSERT_GE(sodium_init(), 0);
  testing::RandomBytes random(1234);
  for (int i = 0; i < 40; ++i) {
    SecretKeySet secret;
    random.fill(secret.ed25519Seed, 32);
    const std::vector<std::uint8_t> message = random.take(static_cast<std::size_t>(i * 7 % 300));
    std::uint8_t publicKey[32], sodiumSecret[64], sodiumSignature[64];
    crypto_sign_seed_keypair(publicKey, sodiumSecret, secret.ed25519Seed);
    crypto_sign_detached(sodiumSignature, nullptr, message.data(), message.size(), sodiumSecret);

    std::uint8_t ours[32];
    ed25519PublicKey(secret.ed25519Seed, ours);
    EXPECT_EQ(0, std::memcmp(ours, publicKey, 32));
    const std::array<std::uint8_t, 64> signature =
        signEd25519(secret, message.data(), message.size());
    EXPECT_EQ(0, std::memcmp(signature.data(), sodiumSignature, 64));
    EXPECT_TRUE(ed25519Verify(publicKey, 32, message.data(), message.size(), sodiumSignature, 64));

    std::uint8_t forged[64];
    std::memcpy(forged, sodiumSignature, 64);
    forged[i % 64] ^= static_cast<std::uint8_t>(1u << (i % 8));
    EXPECT_FALSE(ed25519Verify(publicKey, 32, message.data(), message.size(), forged, 64));
  }
}

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Bn toBn(const BigInt& value) {
  const std::vector<std::uint8_t> bytes = value.toBytesBE();
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_free);
}

BigInt fromBn(const BIGNUM* value) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, bytes.data());
  return BigInt::fromBytesBE(bytes.data(), bytes.size());
}

TEST(BigIntOracle, AgreesWithOpenSsl) {
  testing::RandomBytes random(77);
  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> context(BN_CTX_new(), BN_CTX_free);
  for (int i = 0; i < 300; ++i) {
    const BigInt a =
        BigInt::fromBytesLE(random.take(80).data(), static_cast<std::size_t>(1 + i % 80));
    const BigInt b =
        BigInt::fromBytesLE(random.take(45).data(), static_cast<std::size_t>(1 + i * 13 % 45)) +
        BigInt(1);
    Bn ba = toBn(a), bb = toBn(b), r(BN_new(), BN_free), q(BN_new(), BN_free);
    BN_mul(r.get(), ba.get(), bb.get(), context.get());
    EXPECT_EQ(a * b, fromBn(r.get()));
    BN_div(q.get(), r.get(), ba.get(), bb.get(), context.get());
    EXPECT_EQ(a / b, fromBn(q.get()));
    EXPECT_EQ(a % b, fromBn(r.get()));
    if (i % 10 == 0) {
      const BigInt exponent = BigInt::fromBytesLE(random.take(32).data(), 32);
      Bn be = toBn(exponent);
      BN_mod_exp(r.get(), ba.get(), be.get(), bb.get(), context.get());
      EXPECT_EQ(BigInt::powMod(a, exponent, b), fromBn(r.get()));
    }
  }
}

}  // namespace
}  // namespace vl
