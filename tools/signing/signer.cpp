// Key generation and signing. Point multiples with secret scalars use the Edwards code's
// fixed-sequence multiplication; arithmetic modulo L on secrets runs a fixed sequence of
// word operations whatever the values (a product, then the byte-wise reduction), and
// every secret temporary is wiped before it goes.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "crypto/edwards25519.h"
#include "crypto/field25519.h"
#include "crypto/hash.h"
#include "crypto/scalar25519.h"
#include "crypto/scheme_one.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

// L, little-endian.
constexpr std::uint8_t kOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// A 512-bit value being reduced: wiped when it goes.
struct Wide {
  std::uint8_t bytes[64] = {};
  ~Wide() { explicit_bzero(bytes, sizeof bytes); }
};

// out = (a * b + c) mod L for any 256-bit a, b, c: a * b + c < 2^512.
void scalarMulAdd(std::uint8_t out[32], const std::uint8_t a[32], const std::uint8_t b[32],
                  const std::uint8_t c[32]) {
  std::uint32_t sums[64] = {};  // each below 32 * 255 * 255 + 255 < 2^22
  for (int i = 0; i < 32; ++i) {
    for (int j = 0; j < 32; ++j) sums[i + j] += std::uint32_t{a[i]} * b[j];
    sums[i] += c[i];
  }
  Wide product;
  std::uint32_t carry = 0;
  for (int i = 0; i < 64; ++i) {
    carry += sums[i];
    product.bytes[i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
  explicit_bzero(sums, sizeof sums);
  scalarReduce(out, product.bytes);
}

void scalarMul(std::uint8_t out[32], const std::uint8_t a[32], const std::uint8_t b[32]) {
  static const std::uint8_t kZero[32] = {};
  scalarMulAdd(out, a, b, kZero);
}

// out = L - a when bit is 1, a when it is 0, for a in [0, L]; branch-free.
void scalarConditionalNegate(std::uint8_t out[32], const std::uint8_t a[32], std::uint32_t bit) {
  const auto mask = static_cast<std::uint8_t>(0u - bit);
  std::uint32_t borrow = 0;
  for (int i = 0; i < 32; ++i) {
    const std::uint32_t d = std::uint32_t{kOrder[i]} - a[i] - borrow;
    borrow = (d >> 8) & 1u;
    out[i] = static_cast<std::uint8_t>(a[i] ^ ((static_cast<std::uint8_t>(d) ^ a[i]) & mask));
  }
}

// out = a^(L - 2) = 1 / a mod L: the exponent is public, so the sequence of squarings
// and products is the same for every a.
void scalarInvert(std::uint8_t out[32], const std::uint8_t a[32]) {
  std::uint8_t exponent[32];
  std::memcpy(exponent, kOrder, 32);
  exponent[0] = static_cast<std::uint8_t>(exponent[0] - 2);  // no borrow: 0xed - 2
  std::uint8_t result[32] = {1};
  for (int bit = 252; bit >= 0; --bit) {
    scalarMul(result, result, result);
    if ((exponent[bit / 8] >> (bit % 8)) & 1u) scalarMul(result, result, a);
  }
  std::memcpy(out, result, 32);
  explicit_bzero(result, sizeof result);
}

// All-ones when the 32 bytes equal b, else zero, without a data-dependent branch.
std::uint32_t bytesEqual(const std::uint8_t a[32], const std::uint8_t b[32]) {
  std::uint32_t difference = 0;
  for (int i = 0; i < 32; ++i) difference |= std::uint32_t{a[i]} ^ b[i];
  return 0u - ((difference - 1u) >> 31);
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

// Overwrites what a hash object holds of its input (block and chaining state) with the
// hash of a zero block.
void wipeHash(Sha512& hash) {
  static const std::uint8_t kZeros[128] = {};
  std::uint8_t scratch[64];
  hash.update(kZeros, sizeof kZeros).final(scratch);
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
  wipeHash(sha);
  out.scalar[0] &= 0xF8;
  out.scalar[31] = static_cast<std::uint8_t>((out.scalar[31] & 0x7F) | 0x40);
}

// HMAC-SHA-512 with a 32-byte key, leaving no key material behind.
void hmacSha512(std::uint8_t out[64], const std::uint8_t key[32], const std::uint8_t* message,
                std::size_t length) {
  std::uint8_t pad[128];
  Sha512 sha;
  for (int i = 0; i < 128; ++i) pad[i] = static_cast<std::uint8_t>((i < 32 ? key[i] : 0) ^ 0x36);
  sha.update(pad, sizeof pad).update(message, length).final(out);
  for (int i = 0; i < 128; ++i) pad[i] = static_cast<std::uint8_t>((i < 32 ? key[i] : 0) ^ 0x5c);
  sha.update(pad, sizeof pad).update(out, 64).final(out);
  explicit_bzero(pad, sizeof pad);
  wipeHash(sha);
}

// k = HMAC-SHA-512(nonce key, digest || counter) mod L, the first non-zero one (a zero
// k comes with probability 2^-252: the branch on it tells nothing).
void schemeOneNonce(std::uint8_t k[32], const SecretKeySet& secret, const std::uint8_t digest[20]) {
  static const std::uint8_t kZero[32] = {};
  std::uint8_t message[21];
  std::memcpy(message, digest, 20);
  for (std::uint8_t counter = 0;; ++counter) {
    message[20] = counter;
    Wide h;
    hmacSha512(h.bytes, secret.schemeOneNonceKey, message, sizeof message);
    scalarReduce(k, h.bytes);
    if (bytesEqual(k, kZero) == 0) return;
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
  SecretKeySet secret;
  scalarReduce(secret.schemeOneSecret, material);
  static const std::uint8_t kZero[32] = {};
  static const std::uint8_t kOne[32] = {1};
  std::uint8_t minusOne[32];
  scalarConditionalNegate(minusOne, kOne, 1);
  if ((bytesEqual(secret.schemeOneSecret, kZero) | bytesEqual(secret.schemeOneSecret, kOne) |
       bytesEqual(secret.schemeOneSecret, minusOne)) != 0) {
    return std::nullopt;
  }
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
  // The check rebuilds Q with even v: sign with -x when [x]G has odd v.
  EdPoint point;
  edScalarMultiplyBase(point, secret.schemeOneSecret);
  Fe u, v;
  toMontgomery(u, v, point);
  Wide secrets;  // x, 1/x, k and k - e side by side, wiped together
  std::uint8_t* x = secrets.bytes;
  std::uint8_t* inverse = secrets.bytes + 32;
  std::uint8_t reduced[64] = {};
  std::memcpy(reduced, secret.schemeOneSecret, 32);
  scalarReduce(x, reduced);
  explicit_bzero(reduced, sizeof reduced);
  scalarConditionalNegate(x, x, feIsOdd(v));
  scalarInvert(inverse, x);

  Wide nonce;
  std::uint8_t* k = nonce.bytes;
  std::uint8_t* difference = nonce.bytes + 32;
  schemeOneNonce(k, secret, digest);
  edScalarMultiplyBase(point, k);
  toMontgomery(u, v, point);
  std::uint8_t uBytes[32], h[32];
  feToBytes(uBytes, u);
  sigHash256(secret.keys.sigHashInit, secret.keys.sigHashRounds, h, uBytes, 32);

  std::array<std::uint8_t, 68> signature{};
  std::memcpy(signature.data() + 20, h, 16);
  std::uint8_t e[64] = {};
  schemeOneChallenge(secret.keys, digest, signature.data() + 20, e);
  // s = (k - e) / x mod L, so that [e]G + [s]Q = [e + (k - e)]G = [k]G. e is public.
  std::uint8_t minusE[32];
  scalarReduce(minusE, e);
  scalarConditionalNegate(minusE, minusE, 1);
  static const std::uint8_t kOne[32] = {1};
  scalarMulAdd(difference, k, kOne, minusE);
  scalarMul(signature.data() + 36, difference, inverse);
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

  Wide h;
  Wide nonce;  // r in the first half
  std::uint8_t* r = nonce.bytes;
  Sha512 sha;
  sha.update(expanded.prefix, 32).update(message, length).final(h.bytes);
  scalarReduce(r, h.bytes);
  edScalarMultiplyBase(point, r);
  std::array<std::uint8_t, 64> signature{};
  edEncode(signature.data(), point);

  sha.update(signature.data(), 32).update(publicKey, 32).update(message, length).final(h.bytes);
  std::uint8_t k[32];
  scalarReduce(k, h.bytes);
  // s = (r + k a) mod L
  scalarMulAdd(signature.data() + 32, k, expanded.scalar, r);
  wipeHash(sha);
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
