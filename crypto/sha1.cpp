// SHA-1 (FIPS 180-4): the package reader's digest for packages that do not switch to
// SHA-256.
#include <bit>

#include "crypto/hash.h"
#include "crypto/hash_bytes.h"

namespace vl {

namespace {

// The three round functions of SHA-1 and their constants. Each round changes only b
// and e; the callers rotate the roles of the five variables.
struct Choose {
  static constexpr std::uint32_t k = 0x5a827999;
  static std::uint32_t f(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return d ^ (b & (c ^ d));
  }
};
struct Parity {
  static std::uint32_t f(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; }
};
struct Majority {
  static constexpr std::uint32_t k = 0x8f1bbcdc;
  static std::uint32_t f(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (b & c) | (d & (b | c));
  }
};

template <typename F>
[[gnu::always_inline]] inline void round(std::uint32_t a, std::uint32_t& b, std::uint32_t c,
                                         std::uint32_t d, std::uint32_t& e, std::uint32_t k,
                                         std::uint32_t w) {
  e += std::rotl(a, 5) + F::f(b, c, d) + k + w;
  b = std::rotl(b, 30);
}

template <typename F>
[[gnu::always_inline]] inline void twentyRounds(std::uint32_t& a, std::uint32_t& b,
                                                std::uint32_t& c, std::uint32_t& d,
                                                std::uint32_t& e, std::uint32_t k,
                                                const std::uint32_t* w) {
  for (int i = 0; i < 20; i += 5) {
    round<F>(a, b, c, d, e, k, w[i]);
    round<F>(e, a, b, c, d, k, w[i + 1]);
    round<F>(d, e, a, b, c, k, w[i + 2]);
    round<F>(c, d, e, a, b, k, w[i + 3]);
    round<F>(b, c, d, e, a, k, w[i + 4]);
  }
}

}  // namespace

void Sha1::init() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  state_[4] = 0xc3d2e1f0;
}

void Sha1::compress() {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = hashbytes::load32(block_ + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  twentyRounds<Choose>(a, b, c, d, e, Choose::k, w);
  twentyRounds<Parity>(a, b, c, d, e, 0x6ed9eba1, w + 20);
  twentyRounds<Majority>(a, b, c, d, e, Majority::k, w + 40);
  twentyRounds<Parity>(a, b, c, d, e, 0xca62c1d6, w + 60);
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

void Sha1::final(std::uint8_t* out) {
  BlockHash::final(out);
  for (int i = 0; i < 5; ++i) hashbytes::store32(out + 4 * i, state_[i]);
}

}  // namespace vl
