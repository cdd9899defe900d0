#include "tools/pellpkg/inspect.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "packages/part_reader.h"
#include "streams/bytes.h"

namespace vl::pkgbuild {

const char* partName(std::uint16_t type) {
  switch (type) {
    case kPartPackageHeader:
      return "package header";
    case kPartText2:
      return "text 2";
    case kPartDependencies:
      return "dependencies";
    case kPartFiles:
      return "files";
    case kPartSignature:
      return "signature";
    case kPartArchitecture:
      return "architecture";
    case kPartConflicts:
      return "conflicts";
    case kPartBundleHeader:
      return "bundle header";
    case kPartProvides:
      return "provides";
    case kPartChoiceList:
      return "bundle choice list";
    case kPartImage:
      return "image";
    case kPartNote:
      return "note";
    case kPartText24:
      return "text 24";
    case kPartDigestSwitch:
      return "digest switch";
    default:
      return "(unknown, skipped)";
  }
}

namespace {

bool readThrough(ArchiveReader& archive) {
  std::uint8_t block[4096];
  while (archive.dataLeft() > 0) {
    if (archive.readData(block, sizeof block) <= 0) return false;
  }
  return true;
}

void listArchive(PartReader& reader, std::uint64_t partOffset, Inspection& out) {
  InflateStream inflated(reader);
  ArchiveReader archive(inflated);
  ArchiveEntry entry;
  for (;;) {
    const int result = archive.next(entry);
    if (result < 0) out.archivesBroken = true;
    if (result <= 0) return;
    out.files.push_back(FileRow{partOffset, entry});
    // Read as the installer reads it: a written file whose data ends short is broken.
    if (entry.isWritten() && !readThrough(archive)) {
      out.archivesBroken = true;
      return;
    }
  }
}

}  // namespace

bool inspectPackage(const std::string& path, const KeySet& keys, Inspection& out,
                    std::string& error) {
  FdStream file = FdStream::openRead(path);
  if (!file.isOpen()) {
    error = "cannot open " + path + ": " + std::strerror(file.error());
    return false;
  }
  struct stat st {};
  if (fstat(file.fd(), &st) != 0) {
    error = "cannot stat " + path + ": " + std::strerror(errno);
    return false;
  }
  Inspection result;
  result.fileSize = static_cast<std::uint64_t>(st.st_size);
  PartReader reader(file, true, nullptr, keys);
  result.magic = reader.magic();
  result.total = reader.total();
  if (reader.failed()) {
    result.readable = false;
    out = std::move(result);
    return true;
  }
  reader.wantAll();
  std::vector<std::uint64_t> headers;
  std::string headerName;
  Version headerVersion = 0;
  std::uint64_t headerOffset = 0;
  // After a signature the running digest starts again where the signature's own bytes end.
  std::uint64_t digestRestart = 0;
  for (int type = reader.next(); type >= 0; type = reader.next()) {
    const std::uint64_t offset = reader.partOffset();
    result.parts.push_back(PartRow{offset, static_cast<std::uint16_t>(type), reader.partLength()});
    if (type == kPartPackageHeader || type == kPartBundleHeader) {
      headers.push_back(offset);
      std::uint8_t record[kHeaderRecordSize] = {};
      if (reader.readExact(record, sizeof record)) {
        const auto* nul = static_cast<const std::uint8_t*>(std::memchr(record, 0, kNameFieldSize));
        headerName.assign(reinterpret_cast<const char*>(record),
                          nul ? static_cast<std::size_t>(nul - record) : kNameFieldSize);
        headerVersion = loadLe32(record + 16);
        headerOffset = offset;
      }
    }
    if (type == kPartFiles) listArchive(reader, offset, result);
    if (type == kPartSignature) {
      SignatureRow row;
      row.offset = offset;
      row.length = reader.partLength();
      row.coveredBegin = std::max(reader.digestStart(), digestRestart);
      row.level = reader.verifySignature();
      row.sha256 = reader.digestIsSha256();
      digestRestart = reader.position();
      row.coveredEnd = offset + kPartHeaderSize;
      if (headerOffset >= row.coveredBegin && headerOffset < row.coveredEnd) {
        row.package = headerName;
        row.version = headerVersion;
      }
      result.signatures.push_back(row);
    }
  }
  // The reader ends failed at the end of the file; it reached it cleanly when every
  // byte the header announces was there.
  result.readable = reader.position() == result.total && result.fileSize == result.total;
  for (const std::uint64_t h : headers) {
    bool covered = false;
    for (const SignatureRow& s : result.signatures) {
      covered = covered || (h >= s.coveredBegin && h < s.coveredEnd && s.level > 0);
    }
    if (!covered) result.uncoveredHeaders.push_back(h);
  }
  result.headerParsed = readPackageFile(result.info, path);
  out = std::move(result);
  return true;
}

}  // namespace vl::pkgbuild
