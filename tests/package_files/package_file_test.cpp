// Header parsing, whole-file reading, the required signature level and the files
// archive, read back from files that the package builder makes.
#include "packages/package_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams/bytes.h"
#include "tests/support/files.h"
#include "tests/support/split_source.h"
#include "tools/pellpkg/builder.h"

namespace vl {
namespace {

using pkgbuild::ArchiveFile;
using pkgbuild::Bytes;
using pkgbuild::PackageSource;
using pkgbuild::PackageWriter;
using pkgbuild::SignatureForm;

const std::vector<std::uint16_t> kScanWanted = {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};

// What the parser must give for a package built from source.
PackageInfo expectedInfo(const PackageSource& source) {
  PackageInfo info;
  info.name = source.name.substr(0, kNameFieldSize);
  info.version = source.version;
  info.buildTime = source.buildTime;
  info.flags = source.flags.value_or(0);
  info.text24 = source.text24.value_or("");
  info.architecture = source.architecture.value_or("i386");
  info.text2 = source.text2.value_or("");
  info.note = source.note.value_or("");
  info.hasImage = source.image.has_value();
  info.dependencies = source.dependencies;
  info.provides = source.provides;
  info.conflicts = source.conflicts;
  return info;
}

bool parse(const Bytes& file, PackageInfo& info) {
  MemorySource source(file);
  PartReader reader(source, true, nullptr);
  reader.want(kScanWanted);
  reader.next();
  return readPackageHeader(info, reader);
}

// The bytes as a file of their own in a fresh directory.
struct TempFile {
  explicit TempFile(const Bytes& bytes) { testing::writeFile(path, bytes); }
  testing::TempDir dir;
  const std::string path = dir / "package.vpk";
};

PackageSource minimal(const std::string& name) {
  PackageSource p;
  p.name = name;
  p.version = 0x07016204;
  p.buildTime = 0xFFFFFFF0u;
  return p;
}

TEST(ReadPackageHeader, RecordsReadBackFieldForField) {
  std::vector<PackageSource> cases;
  cases.push_back(minimal("plain"));  // 32-byte record: flags 0, no architecture part
  PackageSource flagged = minimal("flagged");
  flagged.flags = kFlagBootImage | kFlagNoMetadata | 0x80000000u;
  cases.push_back(flagged);
  cases.push_back(minimal("sixteen-chars-xy"));  // no NUL: taken whole
  PackageSource full = minimal("full");
  full.flags = 0;
  full.text24 = "twenty-four";
  full.architecture = "smips";
  full.text2 = "two";
  full.note = "shown in the listing";
  full.dependencies = {{"system", 0x06300000, 0x07000000, 0}, {"wireless", 0, 0, 0}};
  full.provides = {{"ntp", 0x01000000, 0, -3}, {"x", 0, 0, 0x7FFFFFFF}};
  full.conflicts = {{"old-ntp", 0, 0x02000000, 0}};
  full.image = Bytes(5000, 0xAB);
  cases.push_back(full);
  PackageSource emptyTexts = minimal("empty-texts");
  emptyTexts.architecture = "";
  emptyTexts.note = "";
  cases.push_back(emptyTexts);

  for (const PackageSource& source : cases) {
    const auto file = buildPackage(source, SignatureForm::None, nullptr);
    ASSERT_TRUE(file);
    PackageInfo info;
    ASSERT_TRUE(parse(*file, info)) << source.name;
    EXPECT_EQ(info, expectedInfo(source)) << source.name;
  }
}

TEST(ReadPackageHeader, RefusesBrokenHeaderParts) {
  auto withParts = [](auto&& add) {
    PackageWriter writer;
    add(writer);
    return writer.finish();
  };
  const Bytes header = pkgbuild::encodeHeaderRecord("pkg", 1, 2, 0);
  Bytes shortRelations = pkgbuild::encodeRelations({{"a", 0, 0, 0}, {"b", 0, 0, 0}});
  shortRelations.resize(shortRelations.size() - 1);
  Bytes manyRelations(2 + 32, 0);
  storeLe16(manyRelations.data(), 0xFFFF);
  struct Case {
    const char* what;
    Bytes file;
  };
  const Case cases[] = {
      {"record of 31 bytes", withParts([&](PackageWriter& w) {
         w.part(kPartPackageHeader, Bytes(header.begin(), header.begin() + 31));
       })},
      {"dependency list one byte short", withParts([&](PackageWriter& w) {
         w.part(kPartPackageHeader, header);
         w.part(kPartDependencies, shortRelations);
       })},
      {"count of 65535 with one entry", withParts([&](PackageWriter& w) {
         w.part(kPartPackageHeader, header);
         w.part(kPartProvides, manyRelations);
       })},
      {"relation list of one byte", withParts([&](PackageWriter& w) {
         w.part(kPartPackageHeader, header);
         w.part(kPartConflicts, Bytes{1});
       })},
      {"name ..", withParts([](PackageWriter& w) {
         w.part(kPartPackageHeader, pkgbuild::encodeHeaderRecord("..", 1, 2, 0));
       })},
      {"name with /", withParts([](PackageWriter& w) {
         w.part(kPartPackageHeader, pkgbuild::encodeHeaderRecord("a/b", 1, 2, 0));
       })},
      {"empty name", withParts([](PackageWriter& w) { w.part(kPartPackageHeader, Bytes(32, 0)); })},
      {"hidden name", withParts([](PackageWriter& w) {
         w.part(kPartPackageHeader, pkgbuild::encodeHeaderRecord(".pkg", 1, 2, 0));
       })},
      {"not a header part",
       withParts([](PackageWriter& w) { w.part(kPartNote, std::string("x")); })},
  };
  for (const Case& c : cases) {
    PackageInfo info;
    EXPECT_FALSE(parse(c.file, info)) << c.what;
  }
}

TEST(ReadPackageHeader, ATextPartLongerThanTheFileFailsWithoutReadingOn) {
  PackageWriter writer;
  writer.part(kPartPackageHeader, pkgbuild::encodeHeaderRecord("pkg", 1, 2, 0));
  writer.part(kPartNote, std::string("short"));
  Bytes file = writer.finish();
  storeLe32(file.data() + file.size() - 5 - 4, 0xFFFFFFFFu);  // the note claims 4 GiB
  PackageInfo info;
  EXPECT_FALSE(parse(file, info));
}

TEST(ReadPackageHeader, AVeryLongTextIsCutAndTheFollowingPartsStillParse) {
  PackageSource source = minimal("long-note");
  source.note = std::string(100000, 'n');
  source.dependencies = {{"system", 1, 0, 0}};
  const auto file = buildPackage(source, SignatureForm::None, nullptr);
  ASSERT_TRUE(file);
  PackageInfo info;
  ASSERT_TRUE(parse(*file, info));
  EXPECT_EQ(info.note, std::string(4096, 'n'));
  EXPECT_EQ(info.dependencies, source.dependencies);
}

TEST(ReadPackageFile, ReadsABundleWithItsMembers) {
  pkgbuild::BundleSource bundle;
  bundle.header = minimal("bundle");
  bundle.header.image = Bytes(10, 1);
  bundle.choices = std::vector<Relation>{{"extra", 0, 0, 0}};
  bundle.members = {minimal("core"), minimal("extra")};
  bundle.members[0].dependencies = {{"system", 0, 0, 0}};
  bundle.members[1].image = Bytes(3, 2);
  const auto bytes = buildBundle(bundle, SignatureForm::None, nullptr, kMagicUntracked);
  ASSERT_TRUE(bytes);
  TempFile file(*bytes);
  PackageInfo info;
  ASSERT_TRUE(readPackageFile(info, file.path));
  EXPECT_TRUE(info.isBundle);
  EXPECT_TRUE(info.untracked);
  EXPECT_TRUE(info.hasImage);
  EXPECT_EQ(info.path, file.path);
  ASSERT_EQ(info.members.size(), 2u);
  EXPECT_EQ(info.members[0], expectedInfo(bundle.members[0]));
  EXPECT_EQ(info.members[1], expectedInfo(bundle.members[1]));
}

TEST(ReadPackageFile, BrokenFilesLeaveTheRecordAlone) {
  const Bytes good = *buildPackage(minimal("good"), SignatureForm::None, nullptr);
  Bytes longer = good;
  longer.push_back(0);
  Bytes shorter(good.begin(), good.end() - 1);
  PackageWriter emptyBundle;
  emptyBundle.part(kPartBundleHeader, pkgbuild::encodeHeaderRecord("bundle", 1, 2, 0));
  Bytes badMagic = good;
  badMagic[0] ^= 1;
  struct Case {
    const char* what;
    Bytes file;
  };
  const Case cases[] = {{"a byte more than the header says", longer},
                        {"a byte less", shorter},
                        {"a bundle without members", emptyBundle.finish()},
                        {"bad magic", badMagic}};
  for (const Case& c : cases) {
    TempFile file(c.file);
    PackageInfo info;
    info.name = "untouched";
    EXPECT_FALSE(readPackageFile(info, file.path)) << c.what;
    EXPECT_EQ(info.name, "untouched") << c.what;
  }
  PackageInfo info;
  EXPECT_FALSE(readPackageFile(info, "/nonexistent/package.vpk"));
  TempFile file(good);
  ASSERT_TRUE(readPackageFile(info, file.path));
  EXPECT_FALSE(info.untracked);
}

TEST(RequiredSignatureLevel, FollowsTheReleaseRanges) {
  struct Case {
    Version version;
    int level;
  };
  // Each boundary and the release just below it.
  const Case cases[] = {{0, 1},          {0x062E6608, 1}, {0x062E6609, 2}, {0x062EFFFF, 2},
                        {0x062F0000, 1}, {0x06306600, 1}, {0x06306601, 2}, {0x06FFFFFF, 2},
                        {0x07000000, 1}, {0x07016203, 1}, {0x07016204, 2}, {0xFFFFFFFF, 2}};
  for (const Case& c : cases) {
    PackageInfo info;
    info.name = "system";
    info.version = c.version;
    EXPECT_EQ(requiredSignatureLevel(info, false), c.level) << std::hex << c.version;
    EXPECT_EQ(requiredSignatureLevel(info, true), 2);
    info.name = "branding";
    EXPECT_EQ(requiredSignatureLevel(info, false), 1);
  }
}

// The archive: entries read back, whatever the chunking of the compressed bytes.

struct WalkedEntry {
  int result;
  ArchiveEntry entry;
  std::string data;
};

std::vector<WalkedEntry> walk(StreamBuffer& compressed, std::size_t readSize = 7) {
  InflateStream inflated(compressed);
  ArchiveReader archive(inflated);
  std::vector<WalkedEntry> out;
  for (int i = 0; i < 100; ++i) {
    WalkedEntry walked;
    walked.result = archive.next(walked.entry);
    if (walked.result == 1 && walked.entry.isWritten()) {
      char buffer[64];
      ssize_t n;
      while ((n = archive.readData(buffer, std::min(readSize, sizeof buffer))) > 0) {
        walked.data.append(buffer, static_cast<std::size_t>(n));
      }
      if (n < 0) walked.result = -1;
    }
    out.push_back(walked);
    if (walked.result != 1) break;
  }
  return out;
}

const std::vector<ArchiveFile> kArchive = {
    {"bin/tool", 0100755, std::string(40000, 't')},
    {"/etc/empty", 0100600, ""},
    {"var/dir", 0040755, ""},
    {"lib/link", 0120777, "target"},
    {"etc/skipped", 0100644, "not written", true},
    {"etc/last", 0100644, "last\n"},
};

TEST(Archive, EntriesReadBackWhateverTheChunking) {
  const Bytes compressed = pkgbuild::encodeArchive(kArchive);
  MemorySource whole(compressed);
  const std::vector<WalkedEntry> entries = walk(whole);
  ASSERT_EQ(entries.size(), kArchive.size() + 1);
  for (std::size_t i = 0; i < kArchive.size(); ++i) {
    EXPECT_EQ(entries[i].result, 1);
    EXPECT_EQ(entries[i].entry.name, kArchive[i].name);
    EXPECT_EQ(entries[i].entry.mode, kArchive[i].mode);
    EXPECT_EQ(entries[i].entry.dataLength, kArchive[i].data.size());
    const bool written = (kArchive[i].mode & 0xF000) == 0x8000 && !kArchive[i].skip;
    EXPECT_EQ(entries[i].entry.isWritten(), written) << kArchive[i].name;
    if (written) {
      EXPECT_EQ(entries[i].data, kArchive[i].data);
    }
  }
  EXPECT_EQ(entries.back().result, 0);

  for (std::size_t split = 1; split < compressed.size(); ++split) {
    testing::SplitSource source(compressed, {split});
    const std::vector<WalkedEntry> again = walk(source, 1 + split % 61);
    ASSERT_EQ(again.size(), entries.size()) << split;
    for (std::size_t i = 0; i < again.size(); ++i) {
      ASSERT_EQ(again[i].entry.name, entries[i].entry.name) << split;
      ASSERT_EQ(again[i].data, entries[i].data) << split;
    }
  }
}

TEST(Archive, TruncatedOrCorruptStreamsBreakTheArchive) {
  const Bytes compressed = pkgbuild::encodeArchive(kArchive);
  for (std::size_t cut = 0; cut < compressed.size(); ++cut) {
    const Bytes truncated(compressed.begin(),
                          compressed.begin() + static_cast<std::ptrdiff_t>(cut));
    MemorySource source(truncated);
    EXPECT_EQ(walk(source).back().result, -1) << "cut at " << cut;
  }
  for (std::size_t i = 2; i < compressed.size(); i += 3) {
    Bytes corrupt = compressed;
    corrupt[i] ^= 0x40;
    MemorySource source(corrupt);
    EXPECT_EQ(walk(source).back().result, -1) << "byte " << i;
  }
}

TEST(Archive, BytesAfterTheZlibStreamStayUnread) {
  Bytes bytes = pkgbuild::encodeArchive({{"a", 0100644, "x"}});
  const std::size_t end = bytes.size();
  bytes.insert(bytes.end(), {1, 2, 3});
  MemorySource source(bytes);
  EXPECT_EQ(walk(source).back().result, 0);
  Bytes rest;
  ASSERT_TRUE(readAll(source, rest));
  EXPECT_EQ(rest, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.end()));
}

TEST(Archive, NamesThatLeaveTheRootBreakTheArchive) {
  struct Case {
    std::string name;
    std::uint16_t mode;
    bool accepted;
  };
  const Case cases[] = {
      {"../etc/passwd", 0100644, false},
      {"a/../../b", 0100644, false},
      {"..", 0040755, false},
      {"lib/..", 0120777, false},
      {std::string("a\0b", 3), 0100644, false},
      {"", 0100644, false},
      {"dir/", 0100644, false},
      {"a..b/..c", 0100644, true},
      {"/etc/x", 0100644, true},
      {"dir/", 0040755, true},
  };
  for (const Case& c : cases) {
    const Bytes compressed = pkgbuild::encodeArchive({{c.name, c.mode, ""}});
    MemorySource source(compressed);
    EXPECT_EQ(walk(source).front().result, c.accepted ? 1 : -1) << c.name;
  }
}

}  // namespace
}  // namespace vl
