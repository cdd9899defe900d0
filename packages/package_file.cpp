#include "packages/package_file.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "streams/bytes.h"

namespace vl {

bool hasControlCharacter(std::string_view name) {
  return std::any_of(name.begin(), name.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

bool isSafePackageName(std::string_view name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         !hasControlCharacter(name);
}

namespace {

// Texts are short labels (architecture, note column); a longer part keeps this much and
// the rest passes through the digest unread, so a hostile length cannot exhaust memory.
constexpr std::size_t kTextLimit = 4096;

std::string nameField(const std::uint8_t* field) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(field, 0, kNameFieldSize));
  const std::size_t length = end ? static_cast<std::size_t>(end - field) : kNameFieldSize;
  return std::string(reinterpret_cast<const char*>(field), length);
}

bool readText(PartReader& reader, std::string& out) {
  const std::size_t size = std::min<std::size_t>(reader.remaining(), kTextLimit);
  std::string text(size, '\0');
  if (!reader.readExact(text.data(), size)) return false;
  out = std::move(text);
  return true;
}

// A uint16 count and count 32-byte entries; entries are taken as their bytes arrive.
bool readRelations(PartReader& reader, std::vector<Relation>& out) {
  std::vector<Relation> list;
  if (reader.remaining() != 0) {
    std::uint8_t count[2];
    if (!reader.readExact(count, sizeof count)) return false;
    for (unsigned i = 0; i < loadLe16(count); ++i) {
      std::uint8_t entry[kRelationEntrySize];
      if (!reader.readExact(entry, sizeof entry)) return false;
      list.push_back(Relation{nameField(entry), loadLe32(entry + 16), loadLe32(entry + 24),
                              static_cast<std::int32_t>(loadLe32(entry + 28))});
    }
  }
  out = std::move(list);
  return true;
}

}  // namespace

bool readPackageHeader(PackageInfo& info, PartReader& reader) {
  if (reader.type() != kPartPackageHeader && reader.type() != kPartBundleHeader) return false;
  info.isBundle = reader.type() == kPartBundleHeader;
  std::uint8_t record[kHeaderRecordSize];
  if (!reader.readExact(record, sizeof record)) return false;
  const std::string name = nameField(record);
  if (!isSafePackageName(name)) return false;
  info.name = name;
  info.version = loadLe32(record + 16);
  info.buildTime = loadLe32(record + 20);
  std::uint8_t flags[4];
  if (reader.readExact(flags, sizeof flags)) {
    info.flags = loadLe32(flags);
  } else {
    info.flags = 0;
    reader.clearState();
  }

  int type = reader.next();
  if (type == kPartText24) {
    if (!readText(reader, info.text24)) return false;
    type = reader.next();
  }
  info.architecture = "i386";
  if (type == kPartArchitecture) {
    if (!readText(reader, info.architecture)) return false;
    type = reader.next();
  }
  if (type == kPartText2) {
    if (!readText(reader, info.text2)) return false;
    type = reader.next();
  }
  if (type == kPartNote) {
    if (!readText(reader, info.note)) return false;
    type = reader.next();
  }
  const std::pair<int, std::vector<Relation>*> lists[] = {{kPartDependencies, &info.dependencies},
                                                          {kPartProvides, &info.provides},
                                                          {kPartConflicts, &info.conflicts}};
  for (const auto& [listType, list] : lists) {
    if (type != listType) continue;
    if (!readRelations(reader, *list)) return false;
    type = reader.next();
  }
  if (type == kPartImage) info.hasImage = true;
  return true;
}

bool readPackageFile(PackageInfo& info, const std::string& path) {
  FdStream file = FdStream::openRead(path);
  if (!file.isOpen()) return false;
  struct stat st {};
  if (fstat(file.fd(), &st) != 0) return false;
  PartReader reader(file, true, nullptr);
  if (reader.failed() || static_cast<std::uint64_t>(st.st_size) != reader.total()) return false;
  reader.want({kPartBundleHeader, kPartPackageHeader, kPartText24, kPartArchitecture, kPartText2,
               kPartNote, kPartDependencies, kPartProvides, kPartConflicts, kPartImage});
  reader.next();
  PackageInfo record;
  if (!readPackageHeader(record, reader)) return false;
  if (record.isBundle) {
    if (reader.type() == kPartImage) reader.next();
    while (reader.type() == kPartPackageHeader) {
      PackageInfo member;
      if (!readPackageHeader(member, reader)) return false;
      record.members.push_back(std::move(member));
      if (reader.type() == kPartImage) reader.next();
    }
    if (record.members.empty()) return false;
  }
  record.path = path;
  record.untracked = reader.isUntracked();
  info = std::move(record);
  return true;
}

int requiredSignatureLevel(const PackageInfo& info, bool secure) {
  if (secure) return 2;
  if (info.name == "branding") return 1;
  const Version v = info.version;
  if (v < 0x062E6609) return 1;
  if (v < 0x062F0000) return 2;
  if (v < 0x06306601) return 1;
  if (v < 0x07000000) return 2;
  if (v < 0x07016204) return 1;
  return 2;
}

int requiredSignatureLevel(const PackageInfo& info) {
  return requiredSignatureLevel(info, access("/ram/SECURE", F_OK) == 0);
}

// InflateStream

InflateStream::InflateStream(StreamBuffer& source)
    : source_(source), zs_(std::make_unique<z_stream_s>()) {
  initialised_ = inflateInit(zs_.get()) == Z_OK;
}

InflateStream::~InflateStream() {
  if (initialised_) (void)inflateEnd(zs_.get());
}

bool InflateStream::underflow() {
  if (finished_) {
    setEnd();
    return false;
  }
  if (!initialised_) {
    setFailed(ENOMEM);
    return false;
  }
  if (buffer_.empty()) buffer_.resize(kBufferSize);
  zs_->next_out = buffer_.data();
  zs_->avail_out = static_cast<uInt>(buffer_.size());
  while (zs_->avail_out == buffer_.size() && !finished_) {
    const std::span<const std::uint8_t> in = source_.buffered();
    if (in.empty()) {
      // The part ended before the zlib stream did.
      setFailed(source_.error());
      return false;
    }
    const uInt offered = static_cast<uInt>(std::min<std::size_t>(in.size(), UINT_MAX));
    zs_->next_in = const_cast<Bytef*>(in.data());  // zlib reads, never writes, its input
    zs_->avail_in = offered;
    const int result = inflate(zs_.get(), Z_NO_FLUSH);
    const std::size_t used = offered - zs_->avail_in;
    source_.consume(used);
    if (result == Z_STREAM_END) {
      finished_ = true;
    } else if (result != Z_OK && !(result == Z_BUF_ERROR && used > 0)) {
      setFailed(EINVAL);
      return false;
    }
  }
  const std::size_t produced = buffer_.size() - zs_->avail_out;
  if (produced == 0) {
    setEnd();
    return false;
  }
  produced_ += produced;
  setGetArea(buffer_.data(), buffer_.data() + produced);
  return true;
}

// ArchiveReader

namespace {

// Entry names are joined to the installed root: no component may climb out of it, a
// file needs a name of its own, and no control character may split or hide a name in
// the files list (a line feed would make one entry two lines).
bool isSafeEntryName(const std::string& name, bool written) {
  if (hasControlCharacter(name)) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return !written || (!name.empty() && name.back() != '/');
}

}  // namespace

int ArchiveReader::next(ArchiveEntry& entry) {
  if (broken_) return -1;
  if (dataLeft_ > 0 && !skipData()) return broken_ ? -1 : 0;
  std::uint8_t header[ArchiveEntry::kHeaderSize];
  std::size_t have = 0;
  while (have < sizeof header) {
    const ssize_t n = in_.read(header + have, sizeof header - have);
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (in_.failed()) {
    broken_ = true;
    return -1;
  }
  if (have < sizeof header) return 0;

  ArchiveEntry read;
  read.mode = loadLe16(header);
  read.skip = header[23] != 0;
  read.dataLength = loadLe32(header + 24);
  const std::size_t nameLength = loadLe16(header + 28);
  // The name is taken as its bytes arrive (at most 64 KiB by its field).
  char chunk[256];
  while (read.name.size() < nameLength) {
    const std::size_t n = std::min(sizeof chunk, nameLength - read.name.size());
    if (!in_.readExact(chunk, n)) {
      broken_ = true;
      return -1;
    }
    read.name.append(chunk, n);
  }
  if (!isSafeEntryName(read.name, read.isWritten())) {
    broken_ = true;
    return -1;
  }
  dataLeft_ = read.dataLength;
  entry = std::move(read);
  return 1;
}

ssize_t ArchiveReader::readData(void* data, std::size_t size) {
  if (broken_) return -1;
  if (dataLeft_ == 0) return 0;
  const ssize_t n = in_.read(data, std::min<std::size_t>(size, dataLeft_));
  if (n <= 0) {
    broken_ = true;
    return -1;
  }
  dataLeft_ -= static_cast<std::uint32_t>(n);
  return n;
}

bool ArchiveReader::skipData() {
  while (dataLeft_ > 0) {
    const std::span<const std::uint8_t> ready = in_.buffered();
    if (ready.empty()) {
      // A clean end of the archive inside skipped data ends it; corrupt data breaks it.
      broken_ = in_.failed();
      dataLeft_ = 0;
      return false;
    }
    const std::size_t n = std::min<std::size_t>(ready.size(), dataLeft_);
    in_.consume(n);
    dataLeft_ -= static_cast<std::uint32_t>(n);
  }
  return true;
}

}  // namespace vl
