// Any byte string through the package reader, the header parser and the archive walk:
// no crash, no read past a part, and the copy sink sees exactly the bytes consumed. Then
// installed into a change journal on an empty database (in the board root of
// fuzz/common/board_root.h): whatever the package is, every staged path and every owned
// file stays inside "/flash", and aborting leaves no file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/common/board_root.h"
#include "packages/install.h"
#include "packages/package_file.h"
#include "packages/part_reader.h"
#include "streams/stream.h"

namespace {

void walkArchive(vl::PartReader& reader) {
  vl::InflateStream inflated(reader);
  vl::ArchiveReader archive(inflated);
  vl::ArchiveEntry entry;
  for (int i = 0; i < 1000 && archive.next(entry) > 0; ++i) {
    std::uint8_t data[512];
    std::uint64_t total = 0;
    for (ssize_t n; (n = archive.readData(data, sizeof data)) > 0;) total += std::uint64_t(n);
    if (total > entry.dataLength) std::abort();
  }
}

void installIntoJournal(const std::uint8_t* data, std::size_t size) {
  vl::fuzzing::clearBoardPaths();
  vl::createParentDirectories(std::string(vl::kDatabaseDir) + "x");
  vl::Repository repository;
  repository.reporter.setOutput(vl::fuzzing::devNull());
  repository.open(false, "mips");
  vl::fuzzing::AnyBoard board;
  vl::Planner planner(repository, board, false);
  vl::ChangeJournal journal;
  journal.setOutput(vl::fuzzing::devNull(), vl::fuzzing::devNull());
  vl::MemorySource source(data, size);
  vl::InstallOutputs outputs;
  (void)vl::installFromStream(planner, journal, source, ~0u, {}, nullptr, outputs);
  for (const auto& [path, entry] : journal.entries()) {
    if (!vl::fuzzing::insideFlash(path, false)) std::abort();
  }
  for (const auto& record : repository.packages) {
    for (const std::string& owned : record->files) {
      if (!vl::fuzzing::insideFlash(vl::installedPath(owned), true)) std::abort();
    }
  }
  journal.abort();
  for (const char* path : vl::fuzzing::kBoardPaths) {
    const auto isFile = [](const char*, const struct stat* st, int, FTW*) {
      return S_ISDIR(st->st_mode) ? 0 : 1;
    };
    if (::nftw(path, isFile, 16, FTW_PHYS) != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vl::fuzzing::enterBoardRoot(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 65536) return 0;
  vl::MemorySource source(data, size);
  vl::MemorySink copy;
  vl::PartReader reader(source, true, &copy);
  reader.want({1, 18, 20, 16, 3, 19, 17, 21, 4, 9});
  int type = reader.next();
  for (int parts = 0; type >= 0 && parts < 10000; ++parts) {
    const std::uint32_t length = reader.partLength();
    if (reader.remaining() > length) std::abort();
    if (type == vl::kPartPackageHeader || type == vl::kPartBundleHeader) {
      vl::PackageInfo info;
      const bool parsed = vl::readPackageHeader(info, reader);
      if (info.name.size() > vl::kNameFieldSize) std::abort();
      // A parsed header leaves the reader on the part after it.
      type = parsed ? reader.type() : reader.next();
      continue;
    }
    if (type == vl::kPartFiles) walkArchive(reader);
    if (type == vl::kPartSignature && reader.verifySignature() > 2) std::abort();
    type = reader.next();
  }
  // The copy is exactly the bytes consumed.
  const std::vector<std::uint8_t>& copied = copy.bytes();
  if (copied.size() != reader.position() || !std::equal(copied.begin(), copied.end(), data)) {
    std::abort();
  }
  installIntoJournal(data, size);
  return 0;
}
