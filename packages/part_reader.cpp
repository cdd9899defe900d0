#include "packages/part_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "streams/bytes.h"

namespace vl {

PartReader::PartReader(StreamBuffer& source, bool hashing, StreamBuffer* copySink,
                       const KeySet& keys)
    : source_(source), sink_(copySink), keys_(keys), hashing_(hashing) {
  std::uint8_t header[kFileHeaderSize];
  // The file header is copied but never hashed.
  if (readRaw(header, sizeof header, false) != sizeof header) {
    endReader();
    return;
  }
  const std::uint32_t magic = loadLe32(header);
  if (magic != kMagicTracked && magic != kMagicUntracked) {
    endReader();
    return;
  }
  magic_ = magic;
  declaredLength_ = loadLe32(header + 4);
}

void PartReader::want(std::initializer_list<std::uint16_t> types) {
  wanted_.assign(types);
  wantAll_ = false;
}

void PartReader::want(const std::vector<std::uint16_t>& types) {
  wanted_ = types;
  wantAll_ = false;
}

bool PartReader::isWanted(std::uint16_t type) const {
  return wantAll_ || std::find(wanted_.begin(), wanted_.end(), type) != wanted_.end();
}

void PartReader::endReader() {
  ended_ = true;
  type_ = -1;
  sourceLeft_ = 0;
  dropGetArea();
  setEnd();
  setFailed(source_.error());
}

int PartReader::next() {
  while (!ended_) {
    if (!skipRest()) break;
    const std::uint64_t offset = position_;
    std::uint8_t header[kPartHeaderSize];
    if (readRaw(header, sizeof header, false) != sizeof header) {
      finishDigest();
      break;
    }
    const std::uint16_t type = loadLe16(header);
    if (hashing_) {
      if (type == kPartDigestSwitch && current_ != &sha256_) {
        current_ = &sha256_;
        digestStart_ = offset;
      }
      if (type == kPartPackageHeader) {
        finishDigest();
        digestStart_ = offset;
      }
      current_->update(header, sizeof header);
    }
    clearState();
    type_ = type;
    partOffset_ = offset;
    partLength_ = loadLe32(header + 2);
    sourceLeft_ = partLength_;
    if (isWanted(type)) return type;
  }
  endReader();
  return -1;
}

bool PartReader::skipRest() {
  consume(getAreaSize());  // already hashed and copied when it was taken
  if (sourceLeft_ == 0) return true;
  // Only bytes that nobody must see may be passed over by a seek.
  if (!hashing_ && sink_ == nullptr && source_.seek(sourceLeft_, Whence::Current) >= 0) {
    position_ += sourceLeft_;
    sourceLeft_ = 0;
    return true;
  }
  while (sourceLeft_ > 0) {
    const std::span<const std::uint8_t> ready = source_.buffered();
    if (ready.empty()) return false;
    const std::size_t n = std::min({ready.size(), std::size_t{sourceLeft_}, kSkipBlock});
    takeFromSource(ready.first(n), true);
    sourceLeft_ -= static_cast<std::uint32_t>(n);
  }
  return true;
}

bool PartReader::underflow() {
  if (type_ < 0 || sourceLeft_ == 0) {
    setEnd();
    return false;
  }
  const std::span<const std::uint8_t> ready = source_.buffered();
  if (ready.empty()) {
    // The source ended inside the part: the file is shorter than its parts claim.
    endReader();
    return false;
  }
  const std::size_t n = std::min(ready.size(), std::size_t{sourceLeft_});
  // The bytes stay in the source's buffer until the source refills it, which only
  // this reader asks for, once they are read.
  takeFromSource(ready.first(n), true);
  sourceLeft_ -= static_cast<std::uint32_t>(n);
  setGetArea(ready.data(), ready.data() + n);
  return true;
}

std::size_t PartReader::readRaw(std::uint8_t* out, std::size_t size, bool hash) {
  std::size_t done = 0;
  while (done < size) {
    const std::span<const std::uint8_t> ready = source_.buffered();
    if (ready.empty()) break;
    const std::size_t n = std::min(ready.size(), size - done);
    std::memcpy(out + done, ready.data(), n);
    takeFromSource(ready.first(n), hash);
    done += n;
  }
  return done;
}

void PartReader::takeFromSource(std::span<const std::uint8_t> bytes, bool hash) {
  if (hash && hashing_) current_->update(bytes.data(), bytes.size());
  copyOut(bytes.data(), bytes.size());
  position_ += bytes.size();
  source_.consume(bytes.size());
}

void PartReader::copyOut(const std::uint8_t* data, std::size_t size) {
  if (sink_ == nullptr || copyError_ != 0 || size == 0) return;
  if (sink_->write(data, size) < 0) copyError_ = sink_->error() != 0 ? sink_->error() : EIO;
}

void PartReader::finishDigest() {
  if (!hashing_) return;
  // A SHA-1 digest leaves bytes 20-31 zero: the 132-byte form signs those zeros.
  std::memset(digest_, 0, sizeof digest_);
  current_->final(digest_);
}

std::uint8_t PartReader::verifySignature() {
  if (!hashing_ || ended_ || type_ != kPartSignature) return 0;
  finishDigest();
  const std::uint32_t left = remaining();
  const std::size_t size = left >= kSignatureBothSize        ? kSignatureBothSize
                           : left >= kSignatureSchemeOneSize ? kSignatureSchemeOneSize
                                                             : 0;
  if (size == 0) return 0;
  std::uint8_t payload[kSignatureBothSize];
  // Bytes already taken into the get area come first; the rest straight from the
  // source, unhashed: the signature is not part of what it signs.
  const std::size_t fromArea = std::min(getAreaSize(), size);
  if (fromArea > 0) {
    std::memcpy(payload, buffered().data(), fromArea);
    consume(fromArea);
  }
  const std::size_t wantRaw = size - fromArea;
  const std::size_t gotRaw = readRaw(payload + fromArea, wantRaw, false);
  sourceLeft_ -= static_cast<std::uint32_t>(gotRaw);
  if (gotRaw != wantRaw) {
    endReader();
    return 0;
  }
  return signatureLevel(keys_, digest_, payload, size);
}

}  // namespace vl
