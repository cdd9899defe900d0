// The package reader: splits a package file into typed parts while it passes, keeps the
// running digest that the signature part is checked against, and copies every raw byte
// to a sink (the package copy on flash). It reads its source once, front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "crypto/hash.h"
#include "crypto/signature.h"
#include "streams/stream.h"

namespace vl {

inline constexpr std::uint32_t kMagicTracked = 0xBAD0F11E;
inline constexpr std::uint32_t kMagicUntracked = 0xA1100FFB;

inline constexpr std::size_t kFileHeaderSize = 8;
inline constexpr std::size_t kPartHeaderSize = 6;

// Part types of a package file.
enum PartType : std::uint16_t {
  kPartPackageHeader = 1,
  kPartText2 = 2,
  kPartDependencies = 3,
  kPartFiles = 4,
  kPartSignature = 9,
  kPartArchitecture = 16,
  kPartConflicts = 17,
  kPartBundleHeader = 18,
  kPartProvides = 19,
  kPartChoiceList = 20,
  kPartImage = 21,
  kPartNote = 23,
  kPartText24 = 24,
  kPartDigestSwitch = 25,
};

// Signature payload forms.
inline constexpr std::size_t kSignatureSchemeOneSize = 68;
inline constexpr std::size_t kSignatureBothSize = 132;

// A stream buffer over the source whose reads never go past the current part. Reading
// the payload feeds the running digest (hashing on) and the copy sink (if any).
class PartReader final : public StreamBuffer {
 public:
  static constexpr std::size_t kSkipBlock = 16384;

  // Reads the 8-byte file header. A short header or an unknown magic leaves the reader
  // failed: next() then returns -1 at once. keys are those verifySignature() checks
  // against; the board uses the built-in set, the PC tools may pass another.
  PartReader(StreamBuffer& source, bool hashing, StreamBuffer* copySink,
             const KeySet& keys = builtInKeys());

  std::uint32_t magic() const { return magic_; }
  bool isUntracked() const { return magic_ == kMagicUntracked; }
  // The length field of the file header: bytes after the 8-byte header.
  std::uint32_t declaredLength() const { return declaredLength_; }

  // The part types that next() stops at (replacing wantAll()); others are skipped
  // (hashed when hashing).
  void want(std::initializer_list<std::uint16_t> types);
  void want(const std::vector<std::uint16_t>& types);
  // Stops at every part (inspection tools).
  void wantAll() { wantAll_ = true; }

  // Skips what is left of the current part, then reads part headers until one of a
  // wanted type; returns its type, or -1 at the end of the source (the reader is then
  // at end and failed) or when a skip ran short.
  int next();

  // The current part: its type (-1 before the first and after the end), its offset in
  // the file, its payload length and the payload bytes not yet read.
  int type() const { return type_; }
  std::uint64_t partOffset() const { return partOffset_; }
  std::uint32_t partLength() const { return partLength_; }
  std::uint32_t remaining() const {
    return static_cast<std::uint32_t>(sourceLeft_ + getAreaSize());
  }

  // Bytes consumed from the source, file header included; and the file's size as the
  // header states it (length + 8), never wrapped.
  std::uint64_t position() const { return position_; }
  std::uint64_t total() const { return std::uint64_t{declaredLength_} + kFileHeaderSize; }

  // The signature check on the current part (a signature part): 0, 1 or 2. Finishes the
  // running digest, reads the 132- or 68-byte form (unhashed, but copied). With hashing
  // off it reads nothing and gives 0.
  std::uint8_t verifySignature();

  // The last finished digest: SHA-1 in bytes 0-19 with 20-31 zero, or SHA-256 in all 32.
  const std::uint8_t* digest() const { return digest_; }
  bool digestIsSha256() const { return current_ == &sha256_; }
  // File offset of the part header where the running digest began (the first part
  // header, or the latest type-1 or type-25 header): a signature covers the bytes
  // from here up to and including its own part header.
  std::uint64_t digestStart() const { return digestStart_; }

  // A failed write to the copy sink: the copy is incomplete. Reading goes on (the
  // package itself may be fine); the owner must not keep the copy.
  bool copyFailed() const { return copyError_ != 0; }
  int copyError() const { return copyError_; }

 protected:
  bool underflow() override;

 private:
  std::size_t readRaw(std::uint8_t* out, std::size_t size, bool hash);
  void takeFromSource(std::span<const std::uint8_t> bytes, bool hash);
  void endReader();
  bool skipRest();
  void finishDigest();
  void copyOut(const std::uint8_t* data, std::size_t size);
  bool isWanted(std::uint16_t type) const;

  StreamBuffer& source_;
  StreamBuffer* sink_;
  const KeySet& keys_;
  bool hashing_;

  std::uint32_t magic_ = 0;
  std::uint32_t declaredLength_ = 0;
  std::vector<std::uint16_t> wanted_;
  bool wantAll_ = false;

  bool ended_ = false;  // a bad header, the end of the source or a short skip
  int type_ = -1;
  std::uint64_t partOffset_ = 0;
  std::uint32_t partLength_ = 0;
  std::uint32_t sourceLeft_ = 0;  // payload bytes still in the source
  std::uint64_t position_ = 0;

  Sha1 sha1_;
  Sha256 sha256_;
  BlockHash* current_ = &sha1_;
  std::uint8_t digest_[32] = {};
  std::uint64_t digestStart_ = kFileHeaderSize;
  int copyError_ = 0;
};

}  // namespace vl
