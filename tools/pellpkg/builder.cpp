#include "tools/pellpkg/builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "crypto/hash.h"
#include "streams/bytes.h"

namespace vl::pkgbuild {
namespace {

// Grows the vector and copies into it: GCC 12 at -O3 misreads vector::insert of a few
// bytes into an empty vector as an overflow.
void appendBytes(Bytes& out, const std::uint8_t* bytes, std::size_t length) {
  const std::size_t at = out.size();
  out.resize(at + length);
  std::memcpy(out.data() + at, bytes, length);
}

void appendLe16(Bytes& out, std::uint16_t value) {
  std::uint8_t b[2];
  storeLe16(b, value);
  appendBytes(out, b, sizeof b);
}

void appendLe32(Bytes& out, std::uint32_t value) {
  std::uint8_t b[4];
  storeLe32(b, value);
  appendBytes(out, b, sizeof b);
}

void appendName(Bytes& out, const std::string& name) {
  std::uint8_t field[kNameFieldSize] = {};
  std::memcpy(field, name.data(), std::min(name.size(), kNameFieldSize));
  appendBytes(out, field, kNameFieldSize);
}

}  // namespace

std::size_t signatureLength(SignatureForm form) {
  switch (form) {
    case SignatureForm::None:
      return 0;
    case SignatureForm::SchemeOne:
      return kSignatureSchemeOneSize;
    case SignatureForm::Both:
      return kSignatureBothSize;
  }
  return 0;
}

Signer signerFor(const SecretKeySet& secret) {
  return [&secret](const std::uint8_t digest[32], std::size_t length) -> Bytes {
    if (length != kSignatureSchemeOneSize && length != kSignatureBothSize) return {};
    // The buffer holds a SHA-256 digest, or a SHA-1 digest and 12 zero bytes: both
    // schemes sign it as it is.
    return signaturePayload(
        secret, digest, 32,
        length == kSignatureBothSize ? SignatureSchemes::Both : SignatureSchemes::SchemeOne);
  };
}

Bytes encodeHeaderRecord(const std::string& name, Version version, std::uint32_t buildTime,
                         std::optional<std::uint32_t> flags) {
  Bytes out;
  appendName(out, name);
  appendLe32(out, version);
  appendLe32(out, buildTime);
  out.resize(kHeaderRecordSize, 0);
  if (flags) appendLe32(out, *flags);
  return out;
}

Bytes encodeRelations(const std::vector<Relation>& relations) {
  Bytes out;
  appendLe16(out, static_cast<std::uint16_t>(relations.size()));
  for (const Relation& r : relations) {
    appendName(out, r.name);
    appendLe32(out, r.minimum);
    appendLe32(out, 0);
    appendLe32(out, r.maximum);
    appendLe32(out, static_cast<std::uint32_t>(r.priority));
  }
  return out;
}

Bytes encodeArchive(const std::vector<ArchiveFile>& files) {
  Bytes raw;
  for (const ArchiveFile& f : files) {
    std::uint8_t header[ArchiveEntry::kHeaderSize] = {};
    storeLe16(header, f.mode);
    header[23] = f.skip ? 1 : 0;
    storeLe32(header + 24, static_cast<std::uint32_t>(f.data.size()));
    storeLe16(header + 28, static_cast<std::uint16_t>(f.name.size()));
    raw.insert(raw.end(), header, header + sizeof header);
    raw.insert(raw.end(), f.name.begin(), f.name.end());
    raw.insert(raw.end(), f.data.begin(), f.data.end());
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) {
    return {};
  }
  out.resize(size);
  return out;
}

PackageWriter::PackageWriter(std::uint32_t magic) {
  appendLe32(bytes_, magic);
  appendLe32(bytes_, 0);
}

void PackageWriter::part(std::uint16_t type, std::span<const std::uint8_t> payload) {
  const std::size_t offset = bytes_.size();
  if (type == kPartDigestSwitch && !sha256_) {
    sha256_ = true;
    digestStart_ = offset;
  }
  if (type == kPartPackageHeader) digestStart_ = offset;
  appendLe16(bytes_, type);
  appendLe32(bytes_, static_cast<std::uint32_t>(payload.size()));
  bytes_.insert(bytes_.end(), payload.begin(), payload.end());
}

void PackageWriter::part(std::uint16_t type, const std::string& text) {
  part(type, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void PackageWriter::currentDigest(std::uint8_t out[32], std::size_t payloadLength) const {
  Bytes header;
  appendLe16(header, kPartSignature);
  appendLe32(header, static_cast<std::uint32_t>(payloadLength));
  std::memset(out, 0, 32);
  Sha1 sha1;
  Sha256 sha256;
  BlockHash& hash = sha256_ ? static_cast<BlockHash&>(sha256) : sha1;
  hash.update(bytes_.data() + digestStart_, bytes_.size() - digestStart_);
  hash.update(header.data(), header.size());
  hash.final(out);
}

bool PackageWriter::sign(const Signer& signer, std::size_t payloadLength) {
  std::uint8_t digest[32];
  currentDigest(digest, payloadLength);
  const Bytes payload = signer(digest, payloadLength);
  if (payload.size() != payloadLength) return false;
  part(kPartSignature, payload);
  // The reader takes the signature's own bytes unhashed and starts its digest again
  // after them; what a longer part holds beyond them is hashed.
  const std::size_t read = payloadLength >= kSignatureBothSize        ? kSignatureBothSize
                           : payloadLength >= kSignatureSchemeOneSize ? kSignatureSchemeOneSize
                                                                      : 0;
  digestStart_ = bytes_.size() - payloadLength + read;
  return true;
}

Bytes PackageWriter::finish() const {
  Bytes out = bytes_;
  storeLe32(out.data() + 4, static_cast<std::uint32_t>(out.size() - kFileHeaderSize));
  return out;
}

bool appendHeaderParts(PackageWriter& writer, const PackageSource& p, std::uint16_t headerType) {
  if (p.name.empty() || p.name.size() > kNameFieldSize) return false;
  writer.part(headerType, encodeHeaderRecord(p.name, p.version, p.buildTime, p.flags));
  if (p.text24) writer.part(kPartText24, *p.text24);
  if (p.architecture) writer.part(kPartArchitecture, *p.architecture);
  if (p.text2) writer.part(kPartText2, *p.text2);
  if (p.note) writer.part(kPartNote, *p.note);
  if (!p.dependencies.empty()) writer.part(kPartDependencies, encodeRelations(p.dependencies));
  if (!p.provides.empty()) writer.part(kPartProvides, encodeRelations(p.provides));
  if (!p.conflicts.empty()) writer.part(kPartConflicts, encodeRelations(p.conflicts));
  if (p.image) writer.part(kPartImage, *p.image);
  return true;
}

bool appendPackage(PackageWriter& writer, const PackageSource& p, SignatureForm form,
                   const Signer& signer) {
  // The switch starts a fresh digest at its own header; the package header that follows
  // restarts it once more, so the signed range runs from the package header on.
  if (form == SignatureForm::Both) writer.part(kPartDigestSwitch, Bytes{});
  if (!appendHeaderParts(writer, p, kPartPackageHeader)) return false;
  if (p.hasFiles) {
    const Bytes archive = encodeArchive(p.files);
    if (archive.empty()) return false;
    writer.part(kPartFiles, archive);
  }
  if (form == SignatureForm::None) return true;
  return signer && writer.sign(signer, signatureLength(form));
}

std::optional<Bytes> buildPackage(const PackageSource& package, SignatureForm form,
                                  const Signer& signer, std::uint32_t magic) {
  PackageWriter writer(magic);
  if (!appendPackage(writer, package, form, signer)) return std::nullopt;
  return writer.finish();
}

std::optional<Bytes> buildBundle(const BundleSource& bundle, SignatureForm form,
                                 const Signer& signer, std::uint32_t magic) {
  if (bundle.members.empty()) return std::nullopt;
  PackageWriter writer(magic);
  if (form == SignatureForm::Both) writer.part(kPartDigestSwitch, Bytes{});
  if (!appendHeaderParts(writer, bundle.header, kPartBundleHeader)) return std::nullopt;
  if (bundle.choices) writer.part(kPartChoiceList, encodeRelations(*bundle.choices));
  // Members sign themselves: each member's package header restarts the digest.
  for (const PackageSource& member : bundle.members) {
    if (!appendHeaderParts(writer, member, kPartPackageHeader)) return std::nullopt;
    if (member.hasFiles) {
      const Bytes archive = encodeArchive(member.files);
      if (archive.empty()) return std::nullopt;
      writer.part(kPartFiles, archive);
    }
    if (form != SignatureForm::None && !(signer && writer.sign(signer, signatureLength(form)))) {
      return std::nullopt;
    }
  }
  return writer.finish();
}

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& error) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string temp = (slash == std::string::npos ? std::string("./") : dir) + ".pellpkg-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot create a temporary file in " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const int writeErrno = done == bytes.size() ? 0 : (errno != 0 ? errno : ENOSPC);
  const bool synced = writeErrno == 0 && fsync(fd) == 0;
  const int syncErrno = errno;
  const bool closed = ::close(fd) == 0;
  if (writeErrno != 0 || !synced || !closed) {
    error = std::string("cannot write ") + path + ": " +
            std::strerror(writeErrno != 0 ? writeErrno : syncErrno);
    (void)unlink(temp.c_str());
    return false;
  }
  (void)chmod(temp.c_str(), 0644);
  if (rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot rename to " + path + ": " + std::strerror(errno);
    (void)unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace vl::pkgbuild
