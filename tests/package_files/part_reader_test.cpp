// The part reader against package files built by the package builder: records and
// digests whatever the chunking, what a digest covers, skipping, and hostile lengths.
#include "packages/part_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "streams/bytes.h"
#include "tests/support/packages.h"
#include "tests/support/split_source.h"
#include "tools/pellpkg/builder.h"

namespace vl {
namespace {

using pkgbuild::Bytes;
using pkgbuild::PackageSource;
using pkgbuild::PackageWriter;
using pkgbuild::SignatureForm;

const std::vector<std::uint16_t> kInstallWanted = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};

PackageSource samplePackage(const std::string& name) {
  PackageSource p = testing::testPackage(name, "6.49", {{"bin/tool", 0100755, "echo hi\n"}});
  p.dependencies = {{"system", 0x06300000, 0, 0}};
  p.provides = {{"routing", 0, 0, 5}};
  return p;
}

struct PartRecord {
  int type;
  std::uint64_t offset;
  Bytes payload;
  Bytes digest;  // at signature parts
  bool operator==(const PartRecord&) const = default;
};

// Reads every wanted part whole (the check first at signature parts); the copy last.
std::vector<PartRecord> readThrough(StreamBuffer& source,
                                    const std::vector<std::uint16_t>& wanted) {
  std::vector<PartRecord> parts;
  MemorySink copy;
  PartReader reader(source, true, &copy);
  reader.want(wanted);
  for (int type = reader.next(); type >= 0; type = reader.next()) {
    PartRecord record{type, reader.partOffset(), {}, {}};
    if (type == kPartSignature) {
      (void)reader.verifySignature();
      record.digest.assign(reader.digest(), reader.digest() + 32);
    }
    EXPECT_TRUE(readAll(reader, record.payload));
    parts.push_back(std::move(record));
  }
  parts.push_back({-1, reader.position(), copy.bytes(), {}});
  return parts;
}

// Hashed here rather than by the reader: what a signature must cover.
Bytes hashRange(const Bytes& bytes, std::size_t begin, std::size_t end, bool sha256) {
  Bytes out(32, 0);
  Sha1 sha1;
  Sha256 sha256object;
  BlockHash& hash = sha256 ? static_cast<BlockHash&>(sha256object) : sha1;
  hash.update(bytes.data() + begin, end - begin).final(out.data());
  return out;
}

// Each signature covers its own package from its header on: the first is signed with
// SHA-1 (the rest of the digest buffer zero), the second after a digest switch.
TEST(PartReader, EverySplitGivesTheSameRecordsAndEachDigestCoversItsOwnPackage) {
  // Two packages in one file, the second signed in the two-scheme form.
  const pkgbuild::Signer signer = pkgbuild::signerFor(testing::devKeys());
  PackageWriter writer;
  ASSERT_TRUE(appendPackage(writer, samplePackage("one"), SignatureForm::SchemeOne, signer));
  writer.part(77, std::string("unknown part type"));
  ASSERT_TRUE(appendPackage(writer, samplePackage("two"), SignatureForm::Both, signer));
  const Bytes file = writer.finish();
  MemorySource whole(file);
  const std::vector<PartRecord> oneShot = readThrough(whole, kInstallWanted);
  // 2 x (1, 16, 3, 19, 4, 9) with 23 and 77 unwanted, then the end and the copy
  ASSERT_EQ(oneShot.size(), 13u);
  EXPECT_EQ(oneShot[12].offset, file.size());
  EXPECT_EQ(oneShot[12].payload, file);
  for (std::size_t i = 0; i < 2; ++i) {
    const PartRecord& header = oneShot[6 * i];
    const PartRecord& signature = oneShot[6 * i + 5];
    ASSERT_EQ(header.type, kPartPackageHeader);
    ASSERT_EQ(signature.type, kPartSignature);
    const Bytes expected =
        hashRange(file, header.offset, signature.offset + kPartHeaderSize, i == 1);
    EXPECT_EQ(signature.digest, expected) << i;
  }
  for (std::size_t split = 1; split < file.size(); ++split) {
    testing::SplitSource source(file, {split});
    ASSERT_EQ(readThrough(source, kInstallWanted), oneShot) << "split at " << split;
  }
  testing::SplitSource byteByByte(file, {}, 1);
  EXPECT_EQ(readThrough(byteByByte, kInstallWanted), oneShot);
}

// Columns: hashing, a copy sink, a seekable source; only the first row may seek.
TEST(PartReader, SkipsBySeekOnlyWhenNothingMustSeeTheBytes) {
  const auto file = buildPackage(samplePackage("pkg"), SignatureForm::None, nullptr);
  ASSERT_TRUE(file);
  const bool cases[][3] = {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {0, 0, 0}};
  for (const auto& c : cases) {
    testing::SplitSource source(*file, {}, 7, c[2]);
    MemorySink sink;
    PartReader reader(source, c[0], c[1] ? &sink : nullptr);
    reader.want({kPartFiles});
    ASSERT_EQ(reader.next(), kPartFiles);
    EXPECT_EQ(source.seeked() > 0, &c == &cases[0]) << c[0] << c[1] << c[2];
    EXPECT_EQ(reader.next(), -1);
    EXPECT_EQ(reader.position(), file->size());
  }
}

// Payloads of 68 bytes and more hold scheme one, of 132 and more both schemes; what the
// check consumes is copied once, and nothing is consumed without hashing.
TEST(PartReader, SignaturePayloadSizesChooseTheForm) {
  const std::size_t cases[][2] = {{67, 0}, {68, 68}, {100, 68}, {131, 68}, {132, 132}, {200, 132}};
  for (const auto& c : cases) {
    for (const bool hashing : {true, false}) {
      PackageWriter writer;
      ASSERT_TRUE(appendHeaderParts(writer, samplePackage("pkg"), kPartPackageHeader));
      writer.part(kPartSignature, Bytes(c[0], 0x5A));
      const Bytes file = writer.finish();
      MemorySource source(file);
      MemorySink copy;
      PartReader reader(source, hashing, &copy);
      reader.want({kPartSignature});
      ASSERT_EQ(reader.next(), kPartSignature);
      const std::size_t before = copy.bytes().size();
      EXPECT_EQ(reader.verifySignature(), 0);  // a made-up signature never passes
      const std::size_t consumed = hashing ? c[1] : 0;
      EXPECT_EQ(reader.remaining(), c[0] - consumed) << c[0];
      EXPECT_EQ(copy.bytes().size() - before, consumed) << c[0];
      EXPECT_EQ(reader.next(), -1);
      EXPECT_EQ(copy.bytes(), file);
    }
  }
}

TEST(PartReader, BrokenFilesEndTheReaderWithoutHangingOrOverreading) {
  const Bytes built = testing::buildFile(samplePackage("pkg"), SignatureForm::SchemeOne);
  for (std::size_t cut = 0; cut < built.size(); ++cut) {
    const Bytes file(built.begin(), built.begin() + static_cast<std::ptrdiff_t>(cut));
    for (const bool hashing : {true, false}) {
      testing::SplitSource source(file, {}, 5, !hashing);
      PartReader reader(source, hashing, nullptr);
      reader.want(kInstallWanted);
      int parts = 0;
      for (int type = reader.next(); type >= 0; type = reader.next()) {
        Bytes payload;
        (void)readAll(reader, payload);
        ASSERT_LE(payload.size(), reader.partLength());
        ASSERT_LT(++parts, 20);
      }
      EXPECT_TRUE(reader.failed() && reader.atEnd());
      EXPECT_LE(reader.position(), cut);
    }
  }
}

TEST(PartReader, TheTotalOfTheLongestFileDoesNotWrap) {
  Bytes header(8, 0xFF);
  storeLe32(header.data(), kMagicTracked);
  MemorySource source(header);
  EXPECT_EQ(PartReader(source, false, nullptr).total(), 0x100000007ull);
}

}  // namespace
}  // namespace vl
