// SHA-1 (FIPS 180-4): the package reader's digest for packages that do not switch to
// SHA-256.
#include <bit>

#include "crypto/hash.h"
#include "crypto/hash_bytes.h"

namespace vl {

void Sha1::init() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  state_[4] = 0xc3d2e1f0;
}

// The message schedule lives in a ring of 16 words and is extended inside the rounds.
// Fully unrolled, every index and branch below is a constant; a separate 80-word
// schedule loop would be vectorised by the compiler into stalls on store forwarding.
void Sha1::compress() {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = hashbytes::load32(block_ + 4 * i);

  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
#pragma GCC unroll 80
  for (int i = 0; i < 80; ++i) {
    std::uint32_t wi = w[i & 15];
    if (i >= 16) {
      wi = std::rotl(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ wi, 1);
      w[i & 15] = wi;
    }
    std::uint32_t fk;
    if (i < 20) {
      fk = (d ^ (b & (c ^ d))) + 0x5a827999;
    } else if (i < 40) {
      fk = (b ^ c ^ d) + 0x6ed9eba1;
    } else if (i < 60) {
      // Majority; the two terms never share a set bit, so they can be added apart.
      fk = (b & c) + (d & (b ^ c)) + 0x8f1bbcdc;
    } else {
      fk = (b ^ c ^ d) + 0xca62c1d6;
    }
    const std::uint32_t t = std::rotl(a, 5) + fk + e + wi;
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = t;
  }
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
