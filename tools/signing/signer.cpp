// Key generation and signing. Point multiples with secret scalars use the Edwards code's
// fixed-sequence multiplication; arithmetic modulo L uses the big-integer type.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "crypto/bigint.h"
#include "crypto/edwards25519.h"
#include "crypto/field25519.h"
#include "crypto/hash.h"
#include "crypto/scalar25519.h"
#include "crypto/scheme_one.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

const BigInt& groupOrder() {
  static const BigInt l = (BigInt(1) << 252) + *BigInt::fromHex("14def9dea2f79cd65812631a5cf5d3ed");
  return l;
}

// A square root of a (Atkin, p = 5 mod 8); the caller knows that one exists.
void squareRoot(Fe& root, const Fe& a) {
  Fe twoA, b, i, t, one;
  feAdd(twoA, a, a);
  fePowP58(b, twoA);
  feSquare(t, b);
  feMul(i, twoA, t);
  feOne(one);
  feSub(i, i, one);
  feMul(t, a, b);
  feMul(root, t, i);
}

// The Montgomery point of an Edwards point: u = (1 + y)/(1 - y), v = c u / x, where c is
// the square root of -486664 that takes B to the base point G = (9, even v).
void toMontgomery(Fe& u, Fe& v, const EdPoint& p) {
  static Fe c;
  static bool ready = false;
  if (!ready) {
    Fe minus;
    feSetSmall(minus, -486664);
    squareRoot(c, minus);
    ready = true;
    EdPoint base;
    edBase(base);
    Fe baseU, baseV;
    toMontgomery(baseU, baseV, base);
    if (feIsOdd(baseV)) feNeg(c, c);
  }
  Fe zPlusY, zMinusY, denominator, inverse, t;
  feAdd(zPlusY, p.z, p.y);
  feSub(zMinusY, p.z, p.y);
  feMul(denominator, zMinusY, p.x);
  feInvert(inverse, denominator);
  feMul(t, zPlusY, p.x);
  feMul(u, t, inverse);
  feMul(t, zPlusY, p.z);
  feMul(t, t, inverse);
  feMul(v, t, c);
}

void bytesOf(const BigInt& value, std::uint8_t out[32]) {
  std::memset(out, 0, 32);
  (void)value.toBytesLE(out, 32);  // every caller passes a value below L
}

struct Expanded {
  std::uint8_t scalar[32];  // clamped
  std::uint8_t prefix[32];
  ~Expanded() {
    explicit_bzero(scalar, sizeof scalar);
    explicit_bzero(prefix, sizeof prefix);
  }
};

void expandSeed(Expanded& out, const std::uint8_t seed[32]) {
  std::uint8_t h[64];
  Sha512 sha;
  sha.update(seed, 32).final(h);
  std::memcpy(out.scalar, h, 32);
  std::memcpy(out.prefix, h + 32, 32);
  explicit_bzero(h, sizeof h);
  out.scalar[0] &= 0xF8;
  out.scalar[31] = static_cast<std::uint8_t>((out.scalar[31] & 0x7F) | 0x40);
}

// k = HMAC-SHA-512(nonce key, digest || counter) mod L, the first non-zero one.
BigInt schemeOneNonce(const SecretKeySet& secret, const std::uint8_t digest[20]) {
  for (std::uint8_t counter = 0;; ++counter) {
    Sha512 inner;
    Hmac hmac(inner, secret.schemeOneNonceKey, 32);
    std::uint8_t h[64];
    hmac.update(digest, 20).update(&counter, 1);
    hmac.final(h);
    BigInt k = BigInt::fromBytesLE(h, 64) % groupOrder();
    explicit_bzero(h, sizeof h);
    if (!k.isZero()) return k;
  }
}

}  // namespace

void schemeOnePublicKey(const std::uint8_t secret[32], std::uint8_t k1[32]) {
  EdPoint q;
  edScalarMultiplyBase(q, secret);
  Fe u, v;
  toMontgomery(u, v, q);
  feToBytes(k1, u);
}

void ed25519PublicKey(const std::uint8_t seed[32], std::uint8_t k2[32]) {
  Expanded expanded;
  expandSeed(expanded, seed);
  EdPoint a;
  edScalarMultiplyBase(a, expanded.scalar);
  edEncode(k2, a);
}

bool keysMatch(const SecretKeySet& secret) {
  std::uint8_t k1[32], k2[32];
  schemeOnePublicKey(secret.schemeOneSecret, k1);
  ed25519PublicKey(secret.ed25519Seed, k2);
  return std::memcmp(k1, secret.keys.k1, 32) == 0 && std::memcmp(k2, secret.keys.k2, 32) == 0;
}

std::optional<SecretKeySet> deriveKeys(const std::uint8_t material[kKeyMaterialSize]) {
  BigInt x = BigInt::fromBytesLE(material, 64) % groupOrder();
  if (x.isZero() || x == BigInt(1) || x == groupOrder() - BigInt(1)) return std::nullopt;
  SecretKeySet secret;
  bytesOf(x, secret.schemeOneSecret);
  x.wipe();
  std::memcpy(secret.schemeOneNonceKey, material + 64, 32);
  std::memcpy(secret.ed25519Seed, material + 96, 32);
  const std::uint8_t* words = material + 128;
  auto word = [words](int i) {
    return static_cast<std::uint32_t>(words[4 * i]) << 24 |
           static_cast<std::uint32_t>(words[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(words[4 * i + 2]) << 8 | words[4 * i + 3];
  };
  for (int i = 0; i < 8; ++i) secret.keys.sigHashInit[i] = word(i);
  for (int i = 0; i < 64; ++i) secret.keys.sigHashRounds[i] = word(8 + i);
  schemeOnePublicKey(secret.schemeOneSecret, secret.keys.k1);
  ed25519PublicKey(secret.ed25519Seed, secret.keys.k2);
  return secret;
}

std::optional<SecretKeySet> generateKeys(std::string& error) {
  std::uint8_t material[kKeyMaterialSize];
  for (;;) {
    std::size_t filled = 0;
    while (filled < sizeof material) {
      const ssize_t n = ::getrandom(material + filled, sizeof material - filled, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = std::string("the system random source failed: ") + std::strerror(errno);
        explicit_bzero(material, sizeof material);
        return std::nullopt;
      }
      filled += static_cast<std::size_t>(n);
    }
    std::optional<SecretKeySet> secret = deriveKeys(material);
    explicit_bzero(material, sizeof material);
    if (secret) return secret;
  }
}

std::array<std::uint8_t, 68> signSchemeOne(const SecretKeySet& secret,
                                           const std::uint8_t digest[20]) {
  const BigInt& l = groupOrder();
  // The check rebuilds Q with even v: sign with -x when [x]G has odd v.
  EdPoint point;
  edScalarMultiplyBase(point, secret.schemeOneSecret);
  Fe u, v;
  toMontgomery(u, v, point);
  BigInt x = BigInt::fromBytesLE(secret.schemeOneSecret, 32) % l;
  if (feIsOdd(v)) x = l - x;

  BigInt k = schemeOneNonce(secret, digest);
  std::uint8_t kBytes[32];
  bytesOf(k, kBytes);
  edScalarMultiplyBase(point, kBytes);
  explicit_bzero(kBytes, sizeof kBytes);
  toMontgomery(u, v, point);
  std::uint8_t uBytes[32], h[32];
  feToBytes(uBytes, u);
  sigHash256(secret.keys.sigHashInit, secret.keys.sigHashRounds, h, uBytes, 32);

  std::array<std::uint8_t, 68> signature{};
  std::memcpy(signature.data() + 20, h, 16);
  std::uint8_t e[32];
  schemeOneChallenge(secret.keys, digest, signature.data() + 20, e);
  // s = (k - e) / x mod L, so that [e]G + [s]Q = [e + (k - e)]G = [k]G.
  const BigInt eValue = BigInt::fromBytesLE(e, 32) % l;
  BigInt inverse = BigInt::powMod(x, l - BigInt(2), l);
  BigInt s = (k + l - eValue) % l * inverse % l;
  bytesOf(s, signature.data() + 36);
  for (BigInt* secretValue : {&x, &k, &inverse, &s}) secretValue->wipe();
  return signature;
}

std::array<std::uint8_t, 64> signEd25519(const SecretKeySet& secret, const std::uint8_t* message,
                                         std::size_t length) {
  Expanded expanded;
  expandSeed(expanded, secret.ed25519Seed);
  std::uint8_t publicKey[32];
  EdPoint point;
  edScalarMultiplyBase(point, expanded.scalar);
  edEncode(publicKey, point);

  std::uint8_t h[64], r[32];
  Sha512 sha;
  sha.update(expanded.prefix, 32).update(message, length).final(h);
  scalarReduce(r, h);
  edScalarMultiplyBase(point, r);
  std::array<std::uint8_t, 64> signature{};
  edEncode(signature.data(), point);

  sha.update(signature.data(), 32).update(publicKey, 32).update(message, length).final(h);
  std::uint8_t k[32];
  scalarReduce(k, h);
  const BigInt& l = groupOrder();
  BigInt a = BigInt::fromBytesLE(expanded.scalar, 32);
  BigInt rValue = BigInt::fromBytesLE(r, 32);
  BigInt s = (rValue + BigInt::fromBytesLE(k, 32) * a) % l;
  bytesOf(s, signature.data() + 32);
  for (BigInt* secretValue : {&a, &rValue, &s}) secretValue->wipe();
  explicit_bzero(h, sizeof h);
  explicit_bzero(r, sizeof r);
  return signature;
}

std::vector<std::uint8_t> signaturePayload(const SecretKeySet& secret, const std::uint8_t* digest,
                                           std::size_t digestLength, SignatureSchemes schemes) {
  if (digestLength != 20 && digestLength != 32) return {};
  // The digest buffer as the package reader holds it when it checks the signature: a
  // SHA-256 digest fills all 32 bytes; after a SHA-1 digest only the first 20 bytes are
  // that digest and the other 12 are zero on both sides, and Ed25519 signs all 32.
  std::uint8_t buffer[32] = {};
  std::memcpy(buffer, digest, digestLength);

  std::vector<std::uint8_t> payload;
  const std::array<std::uint8_t, 68> first = signSchemeOne(secret, buffer);
  payload.assign(first.begin(), first.end());
  if (schemes == SignatureSchemes::Both) {
    const std::array<std::uint8_t, 64> second = signEd25519(secret, buffer, 32);
    payload.insert(payload.end(), second.begin(), second.end());
  }
  // A signature that the installer would refuse is a failure here, not a package that
  // fails later on the board.
  const std::uint8_t expected = schemes == SignatureSchemes::Both ? 2 : 1;
  if (signatureLevel(secret.keys, buffer, payload.data(), payload.size()) != expected) return {};
  return payload;
}

}  // namespace vl
