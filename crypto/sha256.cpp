// SHA-256 (FIPS 180-4) and its core, which sigHash256 shares with its own tables.
#include <bit>

#include "crypto/hash.h"
#include "crypto/hash_bytes.h"

namespace vl {

namespace {

constexpr std::uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t kRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t bigSigma0(std::uint32_t x) {
  return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
std::uint32_t bigSigma1(std::uint32_t x) {
  return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
std::uint32_t sigma0(std::uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
std::uint32_t sigma1(std::uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }

// The message schedule lives in a ring of 16 words and is extended inside the rounds.
// Fully unrolled, every index below is a constant and the moves between the working
// variables disappear.
void compressOne(std::uint32_t state[8], const std::uint8_t* block, const std::uint32_t k[64]) {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = hashbytes::load32(block + 4 * i);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 64
  for (int i = 0; i < 64; ++i) {
    std::uint32_t wi = w[i & 15];
    if (i >= 16) {
      wi += sigma1(w[(i + 14) & 15]) + w[(i + 9) & 15] + sigma0(w[(i + 1) & 15]);
      w[i & 15] = wi;
    }
    const std::uint32_t t1 = h + bigSigma1(e) + (g ^ (e & (f ^ g))) + k[i] + wi;
    const std::uint32_t t2 = bigSigma0(a) + ((a & b) | (c & (a | b)));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256Blocks(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count,
                  const std::uint32_t rounds[64]) {
  for (; count != 0; --count, blocks += 64) compressOne(state, blocks, rounds);
}

void Sha256::init() {
  for (int i = 0; i < 8; ++i) state_[i] = kInit[i];
}

void Sha256::compress() { sha256Blocks(state_, block_, 1, kRounds); }

void Sha256::final(std::uint8_t* out) {
  BlockHash::final(out);
  for (int i = 0; i < 8; ++i) hashbytes::store32(out + 4 * i, state_[i]);
}

}  // namespace vl
