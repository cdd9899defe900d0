// What a package file holds and what its signatures cover, for `pellpkg inspect` and
// `pellpkg verify`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/signature.h"
#include "packages/package_file.h"

namespace vl::pkgbuild {

struct PartRow {
  std::uint64_t offset = 0;
  std::uint16_t type = 0;
  std::uint32_t length = 0;
};

struct SignatureRow {
  std::uint64_t offset = 0;  // of the signature part's header
  std::uint32_t length = 0;
  bool sha256 = false;
  std::uint64_t coveredBegin = 0;  // the bytes [coveredBegin, coveredEnd) are signed
  std::uint64_t coveredEnd = 0;
  int level = 0;
  std::string package;  // name of the package header that the range starts at, if any
  Version version = 0;
};

struct FileRow {
  std::uint64_t partOffset = 0;  // the files part the entry belongs to
  ArchiveEntry entry;
};

struct Inspection {
  std::uint64_t fileSize = 0;
  std::uint32_t magic = 0;
  std::uint64_t total = 0;  // length field + 8
  bool readable = false;    // a known magic and every part complete
  std::vector<PartRow> parts;
  std::vector<SignatureRow> signatures;
  std::vector<FileRow> files;
  bool archivesBroken = false;
  // Offsets of package and bundle headers that no signature covers.
  std::vector<std::uint64_t> uncoveredHeaders;
  bool headerParsed = false;
  PackageInfo info;
};

// Reads the file twice: once part by part with the signature checks against keys, once
// for the header records.
bool inspectPackage(const std::string& path, const KeySet& keys, Inspection& out,
                    std::string& error);

const char* partName(std::uint16_t type);

}  // namespace vl::pkgbuild
