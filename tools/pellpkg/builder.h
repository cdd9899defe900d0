// Building package files: parts, header records, relation lists, the files archive and
// the signature part over the digest that the reader will compute. Used by the pellpkg
// tool and by tests that need real package files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packages/package_file.h"
#include "packages/part_reader.h"
#include "packages/version.h"
#include "tools/signing/signing.h"

namespace vl::pkgbuild {

using Bytes = std::vector<std::uint8_t>;

// One archive entry. Regular files carry data; directories (0040xxx) and symbolic links
// (0120xxx, data = the link target) are recorded but passed over by the installer.
struct ArchiveFile {
  std::string name;
  std::uint16_t mode = 0100644;
  std::string data;
  bool skip = false;
};

// The signature payload for a 32-byte digest buffer; an empty result is a failure. The
// payload must be exactly `length` bytes (68 or 132 for real signatures).
using Signer = std::function<Bytes(const std::uint8_t digest[32], std::size_t length)>;

enum class SignatureForm { None, SchemeOne, Both };

// Signs with a key set of pellkey: 68 bytes (scheme 1) or 132 (both schemes) over the
// digest buffer as the reader holds it. The key set must outlive the signer.
Signer signerFor(const SecretKeySet& secret);

struct PackageSource {
  std::string name;
  Version version = 0;
  std::uint32_t buildTime = 0;
  std::optional<std::uint32_t> flags;  // absent: a 32-byte header record
  std::optional<std::string> text24;
  std::optional<std::string> architecture;
  std::optional<std::string> text2;
  std::optional<std::string> note;
  std::vector<Relation> dependencies;
  std::vector<Relation> provides;
  std::vector<Relation> conflicts;
  std::optional<Bytes> image;
  bool hasFiles = true;
  std::vector<ArchiveFile> files;
};

struct BundleSource {
  PackageSource header;  // name, version, build time, flags, texts, image
  std::optional<std::vector<Relation>> choices;
  std::vector<PackageSource> members;
};

Bytes encodeHeaderRecord(const std::string& name, Version version, std::uint32_t buildTime,
                         std::optional<std::uint32_t> flags);
Bytes encodeRelations(const std::vector<Relation>& relations);
// The archive entries as one zlib stream.
Bytes encodeArchive(const std::vector<ArchiveFile>& files);

// A package file assembled part by part. Keeps track of where the reader's running
// digest restarts, so that sign() signs exactly what the reader will hash.
class PackageWriter {
 public:
  explicit PackageWriter(std::uint32_t magic = kMagicTracked);

  void part(std::uint16_t type, std::span<const std::uint8_t> payload);
  void part(std::uint16_t type, const std::string& text);
  // A signature part of payloadLength bytes over the running digest.
  [[nodiscard]] bool sign(const Signer& signer, std::size_t payloadLength);

  // The digest the reader will have when it reaches a signature part appended now.
  void currentDigest(std::uint8_t out[32], std::size_t payloadLength) const;
  std::size_t digestStart() const { return digestStart_; }

  // The bytes with the header's length field filled in.
  Bytes finish() const;
  std::size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
  std::size_t digestStart_ = kFileHeaderSize;
  bool sha256_ = false;
};

// Appends the parts of one package: a digest switch first for the two-scheme form, the
// header parts, the image, the files archive and the signature.
[[nodiscard]] bool appendPackage(PackageWriter& writer, const PackageSource& package,
                                 SignatureForm form, const Signer& signer);
[[nodiscard]] bool appendHeaderParts(PackageWriter& writer, const PackageSource& package,
                                     std::uint16_t headerType);

std::optional<Bytes> buildPackage(const PackageSource& package, SignatureForm form,
                                  const Signer& signer, std::uint32_t magic = kMagicTracked);
std::optional<Bytes> buildBundle(const BundleSource& bundle, SignatureForm form,
                                 const Signer& signer, std::uint32_t magic = kMagicTracked);

std::size_t signatureLength(SignatureForm form);

// Writes bytes to path through a temporary file in the same directory and a rename, so
// that a failure leaves nothing half-written. error gets the reason.
[[nodiscard]] bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                                       std::string& error);

}  // namespace vl::pkgbuild
