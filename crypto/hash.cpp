// The part of every block hash that does not depend on the algorithm: buffering of the
// message into blocks, the byte count and the final padding.
#include "crypto/hash.h"

#include <cstring>

namespace vl {

namespace {

std::uint64_t joinCount(std::uint32_t high, std::uint32_t low) {
  return (std::uint64_t{high} << 32) | low;
}

}  // namespace

BlockHash& BlockHash::update(const void* data, std::size_t length) {
  std::uint64_t count = joinCount(countHigh_, countLow_);
  if (count == 0) init();
  if (length == 0) return *this;

  const auto* in = static_cast<const std::uint8_t*>(data);
  const std::uint32_t size = blockSize();
  auto used = static_cast<std::uint32_t>(count % size);
  count += length;
  countHigh_ = static_cast<std::uint32_t>(count >> 32);
  countLow_ = static_cast<std::uint32_t>(count);

  // Same result as storing byte by byte and compressing whenever a block fills, but
  // whole blocks go through in one copy each.
  if (used != 0) {
    std::size_t take = size - used;
    if (length < take) {
      std::memcpy(block_ + used, in, length);
      return *this;
    }
    std::memcpy(block_ + used, in, take);
    compress();
    in += take;
    length -= take;
  }
  for (; length >= size; in += size, length -= size) {
    std::memcpy(block_, in, size);
    compress();
  }
  if (length != 0) std::memcpy(block_, in, length);
  return *this;
}

void BlockHash::pad(bool littleEndianLength) {
  std::uint64_t count = joinCount(countHigh_, countLow_);
  if (count == 0) init();
  const std::uint32_t size = blockSize();
  auto used = static_cast<std::uint32_t>(count % size);
  block_[used++] = 0x80;
  // No room left for the length field: it goes into one more block. The bit count
  // always takes the last 8 bytes, whatever the field size.
  const std::uint32_t field = lengthFieldSize() < 8 ? 8 : lengthFieldSize();
  if (size - field < used) {
    std::memset(block_ + used, 0, size - used);
    compress();
    used = 0;
  }
  std::memset(block_ + used, 0, size - 8 - used);
  const std::uint64_t bits = count << 3;
  for (std::uint32_t i = 0; i < 8; ++i) {
    const std::uint32_t shift = littleEndianLength ? 8 * i : 56 - 8 * i;
    block_[size - 8 + i] = static_cast<std::uint8_t>(bits >> shift);
  }
  compress();
}

// The concrete hashes write their chaining state after this.
void BlockHash::final(std::uint8_t* /*out*/) {
  pad(false);
  countHigh_ = 0;
  countLow_ = 0;
}

}  // namespace vl
