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
      for (std::size_t i = 0; i < length; ++i)
        payload[i] = static_cast<std::uint8_t>(digest[i % 32] ^ i);
      return payload;
    };
  }
};

PackageSource samplePackage(const std::string& name) {
  PackageSource p;
  p.name = name;
  p.version = 0x06310A0A;
  p.buildTime = 1700000000;
  p.flags = 0;
  p.architecture = "mips";
  p.note = "a note";
  p.dependencies = {{"system", 0x06300000, 0, 0}};
  p.provides = {{"routing", 0, 0, 5}};
  p.files = {{"bin/tool", 0100755, "#!/bin/sh\necho hi\n"}, {"etc/conf", 0100644, "x=1\n"}};
  return p;
}

struct PartRecord {
  int type;
  std::uint64_t offset;
  std::uint32_t length;
  Bytes payload;
  Bytes digest;  // at signature parts
  bool operator==(const PartRecord&) const = default;
};

struct ReadResult {
  std::vector<PartRecord> parts;
  Bytes finalDigest;
  Bytes copy;
  std::uint64_t position = 0;
  bool operator==(const ReadResult&) const = default;
};

// Reads every wanted part whole; at signature parts the check runs first.
ReadResult readThrough(StreamBuffer& source, const std::vector<std::uint16_t>& wanted,
                       bool hashing = true) {
  ReadResult result;
  MemorySink copy;
  PartReader reader(source, hashing, &copy);
  reader.want(wanted);
  for (int type = reader.next(); type >= 0; type = reader.next()) {
    PartRecord record{type, reader.partOffset(), reader.partLength(), {}, {}};
    if (type == kPartSignature) {
      (void)reader.verifySignature();
      record.digest.assign(reader.digest(), reader.digest() + 32);
    }
    EXPECT_TRUE(readAll(reader, record.payload));
    result.parts.push_back(std::move(record));
  }
  result.finalDigest.assign(reader.digest(), reader.digest() + 32);
  result.copy = copy.bytes();
  result.position = reader.position();
  return result;
}

Bytes hashRange(const Bytes& bytes, std::size_t begin, std::size_t end, bool sha256) {
  Bytes out(32, 0);
  Sha1 sha1;
  Sha256 sha256object;
  BlockHash& hash = sha256 ? static_cast<BlockHash&>(sha256object) : sha1;
  hash.update(bytes.data() + begin, end - begin);
  hash.final(out.data());
  return out;
}

// Two packages in one file: the second is signed in the two-scheme form.
Bytes twoPackageFile(RecordingSigner& signer) {
  PackageWriter writer;
  EXPECT_TRUE(
      appendPackage(writer, samplePackage("first"), SignatureForm::SchemeOne, signer.signer()));
  writer.part(77, std::string("unknown part type"));
  EXPECT_TRUE(appendPackage(writer, samplePackage("second"), SignatureForm::Both, signer.signer()));
  return writer.finish();
}

// Each signature covers its own package from its header on: the first is signed with
// SHA-1 (the rest of the digest buffer zero), the second after a digest switch.
TEST(PartReader, EverySplitGivesTheSameRecordsAndEachDigestCoversItsOwnPackage) {
  RecordingSigner signer;
  const Bytes file = twoPackageFile(signer);
  MemorySource whole(file);
  const ReadResult oneShot = readThrough(whole, kInstallWanted);
  ASSERT_EQ(oneShot.copy, file);
  ASSERT_EQ(oneShot.position, file.size());
  // 2 x (1, 16, 3, 19, 4, 9) with 23 and 77 unwanted
  ASSERT_EQ(oneShot.parts.size(), 12u);
  for (std::size_t i = 0; i < 2; ++i) {
    const PartRecord& header = oneShot.parts[6 * i];
    const PartRecord& signature = oneShot.parts[6 * i + 5];
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

TEST(PartReader, PushedBackBytesAreHashedOnce) {
  const auto file =
      buildPackage(samplePackage("pkg"), SignatureForm::SchemeOne, RecordingSigner().signer());
  ASSERT_TRUE(file);
  MemorySource plain(*file);
  const ReadResult expected = readThrough(plain, {kPartFiles, kPartSignature});
  MemorySource source(*file);
  MemorySink copy;
  PartReader reader(source, true, &copy);
  reader.want({kPartFiles, kPartSignature});
  ASSERT_EQ(reader.next(), kPartFiles);
  std::uint8_t first[10];
  ASSERT_TRUE(reader.readExact(first, sizeof first));
  ASSERT_TRUE(reader.unread(sizeof first));
  EXPECT_EQ(reader.remaining(), reader.partLength());
  ASSERT_EQ(reader.next(), kPartSignature);
  (void)reader.verifySignature();
  EXPECT_EQ(Bytes(reader.digest(), reader.digest() + 32), expected.parts[1].digest);
  (void)reader.next();
  EXPECT_EQ(copy.bytes(), *file);
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

TEST(PartReader, AFailingCopySinkIsReportedAndReadingGoesOn) {
  const auto file = buildPackage(samplePackage("pkg"), SignatureForm::None, nullptr);
  ASSERT_TRUE(file);
  MemorySource source(*file);
  MemorySink sink;
  sink.failAfter(40, ENOSPC);
  PartReader reader(source, true, &sink);
  reader.want(kInstallWanted);
  while (reader.next() >= 0) {
  }
  EXPECT_TRUE(reader.copyFailed());
  EXPECT_EQ(reader.copyError(), ENOSPC);
  EXPECT_EQ(reader.position(), file->size());
}

}  // namespace
}  // namespace vl
