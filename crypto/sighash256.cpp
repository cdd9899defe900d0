// The system's own signature hash: SHA-256's message schedule, rounds and padding with
// the provisioned initial state and round constants.
#include <cstring>

#include "crypto/hash.h"
#include "crypto/hash_bytes.h"
#include "crypto/provisioning.h"

namespace vl {

void sigHash256(const std::uint32_t init[8], const std::uint32_t rounds[64], std::uint8_t out[32],
                const void* data, std::size_t length) {
  std::uint32_t state[8];
  for (int i = 0; i < 8; ++i) state[i] = init[i];

  const auto* in = static_cast<const std::uint8_t*>(data);
  const std::size_t whole = length / 64;
  sha256Blocks(state, in, whole, rounds);

  // The tail, 0x80, zeros and the 64-bit big-endian bit count fill one or two blocks.
  std::uint8_t tail[128] = {};
  const std::size_t rest = length % 64;
  if (rest != 0) std::memcpy(tail, in + whole * 64, rest);
  tail[rest] = 0x80;
  const std::size_t tailSize = rest < 56 ? 64 : 128;
  hashbytes::store64(tail + tailSize - 8, static_cast<std::uint64_t>(length) << 3);
  sha256Blocks(state, tail, tailSize / 64, rounds);

  for (int i = 0; i < 8; ++i) hashbytes::store32(out + 4 * i, state[i]);
}

void sigHash256(std::uint8_t out[32], const void* data, std::size_t length) {
  sigHash256(provisioned::kSigHashInit, provisioned::kSigHashRounds, out, data, length);
}

}  // namespace vl
