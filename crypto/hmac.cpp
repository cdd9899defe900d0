// HMAC (RFC 2104) over any block hash.
#include <cstring>

#include "crypto/hash.h"

namespace vl {

namespace {

// Room for the digest of any hash behind the interface: no block is larger.
constexpr std::size_t kMaxDigest = 128;

}  // namespace

Hmac::Hmac(BlockHash& inner, const void* key, std::uint32_t keyLength) : inner_(inner) {
  init();
  if (keyLength > inner_.blockSize()) {
    inner_.update(key, keyLength);
    inner_.final(key_);
    keyLength_ = inner_.digestSize();
    return;
  }
  if (keyLength != 0) std::memcpy(key_, key, keyLength);
  keyLength_ = keyLength;
}

Hmac::Hmac(BlockHash& inner, const char* key)
    : Hmac(inner, key, key == nullptr ? 0 : static_cast<std::uint32_t>(std::strlen(key))) {}

BlockHash& Hmac::update(const void* data, std::size_t length) {
  if (!started_) {
    started_ = 1;
    feedPad(0x36);
  }
  inner_.update(data, length);
  return *this;
}

void Hmac::final(std::uint8_t* out) {
  // An empty message still needs the inner pad, or the result would be a plain hash of
  // the outer part.
  if (!started_) feedPad(0x36);
  inner_.final(out);
  feedPad(0x5c);
  inner_.update(out, inner_.digestSize());
  inner_.final(out);
  started_ = 0;
}

// Drops a message in progress; the inner hash, which the creator may hand over in any
// state, is made idle too.
void Hmac::init() {
  std::uint8_t discard[kMaxDigest];
  inner_.final(discard);
  started_ = 0;
}

// HMAC keeps no block of its own: its inner hash buffers and compresses.
void Hmac::compress() {}

void Hmac::feedPad(std::uint8_t fill) {
  std::uint8_t pad[128];
  const std::uint32_t size = inner_.blockSize();
  for (std::uint32_t i = 0; i < size; ++i) {
    pad[i] = static_cast<std::uint8_t>((i < keyLength_ ? key_[i] : 0) ^ fill);
  }
  inner_.update(pad, size);
}

}  // namespace vl
