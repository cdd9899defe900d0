// Integers modulo L = 2^252 + 27742317777372353535851937790883648493, the order of the
// Ed25519 base point.
#pragma once

#include <cstdint>

namespace vl {

// out = in mod L for a 512-bit little-endian in (the SHA-512 value of the Ed25519 check).
void scalarReduce(std::uint8_t out[32], const std::uint8_t in[64]);

}  // namespace vl
