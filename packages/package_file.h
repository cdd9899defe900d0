// Package records parsed from the header parts of a package file, the inflating stream
// over the files archive, and the walk over the archive's entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "packages/part_reader.h"
#include "packages/version.h"
#include "streams/stream.h"

struct z_stream_s;

namespace vl {

// Header flag bits.
inline constexpr std::uint32_t kFlagBootImage = 1u << 0;
inline constexpr std::uint32_t kFlagNoMetadata = 1u << 1;

inline constexpr std::size_t kHeaderRecordSize = 32;
inline constexpr std::size_t kNameFieldSize = 16;
inline constexpr std::size_t kRelationEntrySize = 32;

// One entry of a dependencies, provides, conflicts or choice list.
struct Relation {
  std::string name;
  Version minimum = 0;  // 0: no minimum
  Version maximum = 0;  // 0: no maximum
  std::int32_t priority = 0;

  bool operator==(const Relation&) const = default;
};

struct PackageInfo {
  std::string name;
  Version version = 0;
  std::uint32_t buildTime = 0;
  std::uint32_t flags = 0;
  std::string text24;
  std::string architecture;
  std::string text2;
  std::string note;
  bool hasImage = false;
  std::vector<Relation> dependencies;
  std::vector<Relation> provides;
  std::vector<Relation> conflicts;
  bool isBundle = false;
  std::vector<PackageInfo> members;  // a bundle's member records, in file order
  bool untracked = false;
  std::string path;  // the file it was read from (readPackageFile)

  bool operator==(const PackageInfo&) const = default;
};

// Parses the header parts from a current part of type 1 or 18, moving the reader on to
// the first part after them (an image part stays current). Fields are filled as they
// are read: after a failure the record holds what was read before it.
[[nodiscard]] bool readPackageHeader(PackageInfo& info, PartReader& reader);

// Reads a package or bundle file whole (members included), hashing on; false when the
// file is broken (then info is unchanged).
[[nodiscard]] bool readPackageFile(PackageInfo& info, const std::string& path);

// The level the signature of a package must reach: 2 everywhere when "/ram/SECURE"
// exists; otherwise by the package's name and release.
int requiredSignatureLevel(const PackageInfo& info);
// The same rule without the file test, for tools and tests.
int requiredSignatureLevel(const PackageInfo& info, bool secure);

// Inflates a zlib stream (RFC 1950) read from the source's get area. Ends at the end
// of the zlib stream; a source that ends first, or corrupt data, fails the stream.
// Bytes after the zlib stream stay unread in the source.
class InflateStream final : public StreamBuffer {
 public:
  static constexpr std::size_t kBufferSize = 16384;

  explicit InflateStream(StreamBuffer& source);
  ~InflateStream() override;

  // Inflated bytes handed out so far.
  std::uint64_t produced() const { return produced_; }

 protected:
  bool underflow() override;

 private:
  StreamBuffer& source_;
  std::unique_ptr<z_stream_s> zs_;
  bool initialised_ = false;
  bool finished_ = false;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t produced_ = 0;
};

// A name that a package file carries (a package's, an archive entry's, a files-list
// line) never holds a control character: a line feed would split it in two lines of the
// database's lists, and no other is a name a package needs.
bool hasControlCharacter(std::string_view name);

// A package name becomes a directory under the database: nothing that leaves it, nor
// what the database scan passes over.
bool isSafePackageName(std::string_view name);

// One entry of the files archive.
struct ArchiveEntry {
  static constexpr std::size_t kHeaderSize = 30;
  static constexpr std::uint16_t kTypeMask = 0xF000;
  static constexpr std::uint16_t kTypeRegular = 0x8000;

  std::uint16_t mode = 0;  // st_mode: file type in the top 4 bits
  bool skip = false;       // the skip marker was set
  std::uint32_t dataLength = 0;
  std::string name;  // as stored: relative to the installed root, "/" optional

  // A regular file that the unpacker writes.
  bool isWritten() const { return (mode & kTypeMask) == kTypeRegular && !skip; }
};

// Walks the entries of an inflated archive. After next() gives an entry, its data is
// read with readData() (never past the entry) or left for next() to skip.
class ArchiveReader {
 public:
  explicit ArchiveReader(StreamBuffer& inflated) : in_(inflated) {}

  // 1: an entry (header and name read); 0: the archive ended (a short or missing entry
  // header ends it normally); -1: broken (a short name, a short skip, corrupt data).
  int next(ArchiveEntry& entry);
  // Reads at most size bytes of the current entry's data; 0 when it is all read,
  // -1 when the archive ends or breaks before the entry's length.
  ssize_t readData(void* data, std::size_t size);
  std::uint32_t dataLeft() const { return dataLeft_; }

 private:
  bool skipData();

  StreamBuffer& in_;
  std::uint32_t dataLeft_ = 0;
  bool broken_ = false;
};

}  // namespace vl
