// Any byte string through the package reader, the header parser and the archive walk:
// no crash, no read past a part, and the copy sink sees exactly the bytes consumed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
    for (ssize_t n; (n = archive.readData(data, sizeof data)) > 0;)
      total += static_cast<std::uint64_t>(n);
    if (total > entry.dataLength) std::abort();
  }
}

}  // namespace

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
  if (reader.position() > size) std::abort();
  const std::vector<std::uint8_t>& copied = copy.bytes();
  if (copied.size() != reader.position() ||
      (!copied.empty() && std::memcmp(copied.data(), data, copied.size()) != 0)) {
    std::abort();
  }
  return 0;
}
