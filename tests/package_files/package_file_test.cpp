// Header parsing, whole-file reading, the required signature level and the files
// archive, read back from files that the package builder makes.
#include "packages/package_file.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "streams/bytes.h"
#include "tests/support/files.h"
#include "tests/support/packages.h"
#include "tests/support/split_source.h"
#include "tools/pellpkg/builder.h"

namespace vl {
namespace {

using pkgbuild::Bytes;
using pkgbuild::encodeHeaderRecord;
using pkgbuild::PackageSource;
using pkgbuild::PackageWriter;
using pkgbuild::SignatureForm;

bool parse(const Bytes& file, PackageInfo& info) {
  MemorySource source(file);
  PartReader reader(source, true, nullptr);
  reader.want({18, 1, 24, 16, 2, 23, 3, 19, 17, 21});
  reader.next();
  return readPackageHeader(info, reader);
}

TEST(ReadPackageHeader, RecordsReadBackFieldForField) {
  PackageSource full = testing::testPackage("sixteen-chars-xy", "7.1beta4");  // no NUL: taken whole
  full.flags = kFlagBootImage | kFlagNoMetadata | 0x80000000u;
  full.text24 = "twenty-four";
  full.architecture = "smips";
  full.text2 = "two";
  full.note = std::string(100000, 'n');  // cut, and the parts after it still parse
  full.dependencies = {{"system", 0x06300000, 0x07000000, 0}, {"wireless", 0, 0, 0}};
  full.provides = {{"ntp", 0x01000000, 0, -3}, {"x", 0, 0, 0x7FFFFFFF}};
  full.conflicts = {{"old-ntp", 0, 0x02000000, 0}};
  full.image = Bytes(5000, 0xAB);
  PackageInfo info;
  ASSERT_TRUE(parse(*buildPackage(full, SignatureForm::None, nullptr), info));
  EXPECT_EQ(std::tie(info.name, info.version, info.buildTime, info.flags, info.text24,
                     info.architecture, info.text2, info.note, info.hasImage),
            std::make_tuple("sixteen-chars-xy", 0x07016204u, 1700000000u, 0x80000003u,
                            "twenty-four", "smips", "two", std::string(4096, 'n'), true));
  EXPECT_EQ(std::tie(info.dependencies, info.provides, info.conflicts),
            std::tie(full.dependencies, full.provides, full.conflicts));
  // A 32-byte record: flags 0, the default architecture.
  PackageSource plain = testing::testPackage("plain");
  plain.architecture.reset();
  ASSERT_TRUE(parse(*buildPackage(plain, SignatureForm::None, nullptr), info = {}));
  EXPECT_EQ(std::tie(info.name, info.flags, info.architecture, info.note),
            std::make_tuple("plain", 0u, "i386", ""));
}

TEST(ReadPackageHeader, RefusesBrokenHeaderParts) {
  const Bytes header = encodeHeaderRecord("pkg", 1, 2, 0);
  Bytes shortRelations = pkgbuild::encodeRelations({{"a", 0, 0, 0}, {"b", 0, 0, 0}});
  shortRelations.resize(shortRelations.size() - 1);
  Bytes manyRelations(2 + 32, 0);
  storeLe16(manyRelations.data(), 0xFFFF);  // 65535 entries, one there
  // Parts other than a header or a note follow a good header part.
  const struct {
    std::uint16_t type;
    Bytes payload;
  } cases[] = {{kPartPackageHeader, Bytes(header.begin(), header.begin() + 31)},
               {kPartDependencies, shortRelations},
               {kPartProvides, manyRelations},
               {kPartConflicts, Bytes{1}},
               {kPartPackageHeader, encodeHeaderRecord("..", 1, 2, 0)},
               {kPartPackageHeader, encodeHeaderRecord("a/b", 1, 2, 0)},
               {kPartPackageHeader, Bytes(32, 0)},
               {kPartPackageHeader, encodeHeaderRecord(".pkg", 1, 2, 0)},
               {kPartPackageHeader, encodeHeaderRecord("a\nb", 1, 2, 0)},
               {kPartNote, Bytes{'x'}}};
  PackageInfo info;
  for (const auto& c : cases) {
    PackageWriter writer;
    if (c.type != kPartPackageHeader && c.type != kPartNote)
      writer.part(kPartPackageHeader, header);
    writer.part(c.type, c.payload);
    EXPECT_FALSE(parse(writer.finish(), info)) << &c - cases;
  }
  PackageWriter writer;
  writer.part(kPartPackageHeader, header);
  writer.part(kPartNote, std::string("short"));
  Bytes file = writer.finish();
  storeLe32(file.data() + file.size() - 5 - 4, 0xFFFFFFFFu);  // the note claims 4 GiB
  EXPECT_FALSE(parse(file, info));
}

TEST(ReadPackageFile, ReadsABundleAndLeavesTheRecordAloneOnBrokenFiles) {
  pkgbuild::BundleSource bundle;
  bundle.header = testing::testPackage("bundle");
  bundle.header.image = Bytes(10, 1);
  bundle.choices = std::vector<Relation>{{"extra", 0, 0, 0}};
  bundle.members = {testing::testPackage("core"), testing::testPackage("extra")};
  bundle.members[0].dependencies = {{"system", 0, 0, 0}};
  bundle.members[1].image = Bytes(3, 2);
  testing::TempDir dir;
  testing::writeFile(dir / "b.vpk",
                     *buildBundle(bundle, SignatureForm::None, nullptr, kMagicUntracked));
  PackageInfo info;
  ASSERT_TRUE(readPackageFile(info, dir / "b.vpk"));
  EXPECT_TRUE(info.isBundle && info.untracked && info.hasImage);
  ASSERT_EQ(info.members.size(), 2u);
  EXPECT_EQ(std::tie(info.members[0].name, info.members[0].dependencies),
            std::make_tuple("core", std::vector<Relation>{{"system", 0, 0, 0}}));
  EXPECT_TRUE(info.members[1].name == "extra" && info.members[1].hasImage);

  const Bytes good = *buildPackage(testing::testPackage("good"), SignatureForm::None, nullptr);
  Bytes longer = good, shorter(good.begin(), good.end() - 1), badMagic = good;
  longer.push_back(0);
  badMagic[0] ^= 1;
  PackageWriter emptyBundle;
  emptyBundle.part(kPartBundleHeader, encodeHeaderRecord("bundle", 1, 2, 0));
  for (const Bytes& file : {longer, shorter, emptyBundle.finish(), badMagic}) {
    testing::writeFile(dir / "x.vpk", file);
    info.name = "untouched";
    EXPECT_FALSE(readPackageFile(info, dir / "x.vpk")) << file.size();
    EXPECT_EQ(info.name, "untouched");
  }
  EXPECT_FALSE(readPackageFile(info, "/nonexistent/package.vpk"));
}

TEST(RequiredSignatureLevel, FollowsTheReleaseRanges) {
  // Each boundary and the release just below it.
  const std::uint32_t cases[][2] = {{0, 1},          {0x062E6608, 1}, {0x062E6609, 2},
                                    {0x062EFFFF, 2}, {0x062F0000, 1}, {0x06306600, 1},
                                    {0x06306601, 2}, {0x06FFFFFF, 2}, {0x07000000, 1},
                                    {0x07016203, 1}, {0x07016204, 2}, {0xFFFFFFFF, 2}};
  for (const auto& c : cases) {
    PackageInfo info;
    info.name = "system";
    info.version = c[0];
    EXPECT_EQ(requiredSignatureLevel(info, false), static_cast<int>(c[1])) << std::hex << c[0];
    EXPECT_EQ(requiredSignatureLevel(info, true), 2);
    info.name = "branding";
    EXPECT_EQ(requiredSignatureLevel(info, false), 1);
  }
}

// The archive: entries read back, whatever the chunking of the compressed bytes. The
// result of the last next(): 1 an entry, 0 the end, -1 broken.
std::vector<std::string> walk(StreamBuffer& compressed, int& last, std::size_t readSize = 7) {
  InflateStream inflated(compressed);
  ArchiveReader archive(inflated);
  std::vector<std::string> out;
  ArchiveEntry entry;
  while ((last = archive.next(entry)) == 1 && out.size() < 100) {
    std::string data;
    char buffer[64];
    ssize_t n = 0;
    while (entry.isWritten() &&
           (n = archive.readData(buffer, std::min(readSize, sizeof buffer))) > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    }
    if (n < 0) last = -1;
    out.push_back(entry.name + " " + std::to_string(entry.mode) + " " +
                  std::to_string(entry.dataLength) + (entry.isWritten() ? " written " : " ") +
                  data.substr(0, 8) + std::to_string(data.size()));
  }
  return out;
}

TEST(Archive, EntriesReadBackWhateverTheChunking) {
  const Bytes compressed = pkgbuild::encodeArchive({{"bin/tool", 0100755, std::string(40000, 't')},
                                                    {"/etc/empty", 0100600, ""},
                                                    {"var/dir", 0040755, ""},
                                                    {"lib/link", 0120777, "target"},
                                                    {"etc/skipped", 0100644, "not written", true},
                                                    {"etc/last", 0100644, "last\n"}});
  int last = 0;
  MemorySource whole(compressed);
  const std::vector<std::string> entries = walk(whole, last);
  EXPECT_EQ(last, 0);
  EXPECT_EQ(entries, (std::vector<std::string>{"bin/tool 33261 40000 written tttttttt40000",
                                               "/etc/empty 33152 0 written 0", "var/dir 16877 0 0",
                                               "lib/link 41471 6 0", "etc/skipped 33188 11 0",
                                               "etc/last 33188 5 written last\n5"}));
  for (std::size_t split = 1; split < compressed.size(); ++split) {
    testing::SplitSource source(compressed, {split});
    ASSERT_EQ(walk(source, last, 1 + split % 61), entries) << split;
    ASSERT_EQ(last, 0);
  }
  // Truncated or corrupt streams break the archive.
  for (std::size_t cut = 0; cut < compressed.size(); ++cut) {
    MemorySource source(compressed.data(), cut);
    walk(source, last);
    EXPECT_EQ(last, -1) << "cut at " << cut;
  }
  for (std::size_t i = 2; i < compressed.size(); i += 3) {
    Bytes corrupt = compressed;
    corrupt[i] ^= 0x40;
    MemorySource source(corrupt);
    walk(source, last);
    EXPECT_EQ(last, -1) << "byte " << i;
  }
}

TEST(Archive, NamesThatLeaveTheRootBreakTheArchive) {
  const struct {
    std::string name;
    std::uint16_t mode;
    int first;
  } cases[] = {{"../etc/passwd", 0100644, -1},
               {"a/../../b", 0100644, -1},
               {"..", 0040755, -1},
               {"lib/..", 0120777, -1},
               {std::string("a\0b", 3), 0100644, -1},
               {"", 0100644, -1},
               {"dir/", 0100644, -1},
               {"a..b/..c", 0100644, 1},
               {"/etc/x", 0100644, 1},
               {"dir/", 0040755, 1}};
  for (const auto& c : cases) {
    const Bytes compressed = pkgbuild::encodeArchive({{c.name, c.mode, ""}});
    MemorySource source(compressed);
    int last = 0;
    walk(source, last);
    EXPECT_EQ(last == -1, c.first == -1) << c.name;
  }
}

}  // namespace
}  // namespace vl
