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

// A signer that fills the payload with a pattern of the digest, and remembers digests.
struct RecordingSigner {
  std::vector<Bytes> digests;
  pkgbuild::Signer signer() {
    return [this](const std::uint8_t digest[32], std::size_t length) {
      digests.emplace_back(digest, digest + 32);
      Bytes payload(length);
      for (std::size_t i = 0; i < length; ++i) payload[i] = digest[i % 32] ^ i;
      return payload;
    };
  }
};

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
  EXPECT_EQ(reader.position(), copy.bytes().size());
  parts.push_back({-1, reader.position(), copy.bytes(), {}});
  return parts;
}

// Hashed here rather than by the reader: what a signature must cover.
Bytes hashRange(const Bytes& bytes, std::size_t begin, std::size_t end, bool sha256) {
  Bytes out(32, 0);
  Sha1 sha1;
  Sha256 sha256object;
  BlockHash& hash = sha256 ? static_cast<BlockHash&>(sha256object) : sha1;
  hash.update(bytes.data() + begin, end - begin);
  hash.final(out.data());
  return out;
}

// Each signature covers its own package from its header on: the first is signed with
// SHA-1 (the rest of the digest buffer zero), the second after a digest switch.
TEST(PartReader, EverySplitGivesTheSameRecordsAndEachDigestCoversItsOwnPackage) {
  // Two packages in one file, the second signed in the two-scheme form.
  RecordingSigner signer;
  PackageWriter writer;
  ASSERT_TRUE(
      appendPackage(writer, samplePackage("one"), SignatureForm::SchemeOne, signer.signer()));
  writer.part(77, std::string("unknown part type"));
  ASSERT_TRUE(appendPackage(writer, samplePackage("two"), SignatureForm::Both, signer.signer()));
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
    EXPECT_EQ(signer.digests[i], expected) << i;
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

TEST(PartReader, DigestSwitchHashesFromItsOwnHeaderWithSha256) {
  PackageWriter writer;
  ASSERT_TRUE(appendHeaderParts(writer, samplePackage("late"), kPartPackageHeader));
  // Placed after the package header, the switch restarts the digest at itself: the
  // header falls outside what a signature here would cover.
  const std::size_t switchOffset = writer.size();
  writer.part(kPartDigestSwitch, std::string("xyz"));
  RecordingSigner signer;
  ASSERT_TRUE(writer.sign(signer.signer(), kSignatureBothSize));
  const Bytes file = writer.finish();
  MemorySource source(file);
  PartReader reader(source, true, nullptr);
  reader.want({kPartSignature});
  ASSERT_EQ(reader.next(), kPartSignature);
  (void)reader.verifySignature();
  const Bytes digest(reader.digest(), reader.digest() + 32);
  EXPECT_EQ(digest, hashRange(file, switchOffset, reader.partOffset() + kPartHeaderSize, true));
  EXPECT_EQ(digest, signer.digests[0]);
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
  const auto built =
      buildPackage(samplePackage("pkg"), SignatureForm::SchemeOne, RecordingSigner().signer());
  ASSERT_TRUE(built);
  for (std::size_t cut = 0; cut < built->size(); ++cut) {
    const Bytes file(built->begin(), built->begin() + static_cast<std::ptrdiff_t>(cut));
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

// Magic and length; the magic in the wrong byte order is no package file, and the total
// of the longest file does not wrap.
TEST(PartReader, FileHeaderChecks) {
  const std::uint32_t cases[][4] = {{kMagicTracked, 0, 1, 0},
                                    {kMagicUntracked, 0, 1, 1},
                                    {0x1EF1D0BA, 0, 0, 0},
                                    {kMagicTracked, 0xFFFFFFFF, 1, 0}};
  for (const auto& c : cases) {
    Bytes header(8);
    storeLe32(header.data(), c[0]);
    storeLe32(header.data() + 4, c[1]);
    MemorySource source(header);
    PartReader reader(source, true, nullptr);
    EXPECT_EQ(reader.failed(), !c[2]) << c[0];
    EXPECT_EQ(reader.isUntracked(), c[3] != 0);
    EXPECT_EQ(reader.total(), c[1] + 8ull);
    EXPECT_EQ(reader.next(), -1);
    header.pop_back();
    MemorySource shorter(header);
    EXPECT_TRUE(PartReader(shorter, true, nullptr).failed());
  }
}

}  // namespace
}  // namespace vl
