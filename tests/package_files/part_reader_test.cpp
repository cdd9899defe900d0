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

TEST(PartReader, EverySplitOfTheStreamGivesTheSameRecordsDigestsAndCopy) {
  RecordingSigner signer;
  const Bytes file = twoPackageFile(signer);
  MemorySource whole(file);
  const ReadResult oneShot = readThrough(whole, kInstallWanted);
  ASSERT_EQ(oneShot.copy, file);
  ASSERT_EQ(oneShot.position, file.size());
  ASSERT_EQ(oneShot.parts.size(), 12u);  // 2 x (1, 16, 3, 19, 4, 9) with 23 and 77 unwanted

  for (std::size_t split = 1; split < file.size(); ++split) {
    testing::SplitSource source(file, {split});
    ASSERT_EQ(readThrough(source, kInstallWanted), oneShot) << "split at " << split;
  }
  testing::SplitSource byteByByte(file, {}, 1);
  EXPECT_EQ(readThrough(byteByByte, kInstallWanted), oneShot);
}

TEST(PartReader, EachSignatureCoversItsOwnPackageFromItsHeader) {
  RecordingSigner signer;
  const Bytes file = twoPackageFile(signer);
  MemorySource source(file);
  const ReadResult result = readThrough(source, kInstallWanted);

  std::vector<const PartRecord*> headers, signatures;
  for (const PartRecord& part : result.parts) {
    if (part.type == kPartPackageHeader) headers.push_back(&part);
    if (part.type == kPartSignature) signatures.push_back(&part);
  }
  ASSERT_EQ(headers.size(), 2u);
  ASSERT_EQ(signatures.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t begin = headers[i]->offset;
    const std::size_t end = signatures[i]->offset + kPartHeaderSize;
    // The first package is signed with SHA-1, the second after a digest switch.
    EXPECT_EQ(signatures[i]->digest, hashRange(file, begin, end, i == 1)) << i;
    EXPECT_EQ(signatures[i]->digest, signer.digests[i]) << i;
  }
  // A SHA-1 digest leaves the rest of the buffer zero.
  EXPECT_EQ(Bytes(signatures[0]->digest.begin() + 20, signatures[0]->digest.end()), Bytes(12, 0));
}

TEST(PartReader, SkipsBySeekOnlyWhenNothingMustSeeTheBytes) {
  const auto file = buildPackage(samplePackage("pkg"), SignatureForm::None, nullptr);
  ASSERT_TRUE(file);
  struct Case {
    bool hashing;
    bool sink;
    bool seekable;
    bool expectSeek;
  };
  const Case cases[] = {
      {false, false, true, true}, {true, false, true, false},   {false, true, true, false},
      {true, true, true, false},  {false, false, false, false},
  };
  for (const Case& c : cases) {
    testing::SplitSource source(*file, {}, 7, c.seekable);
    MemorySink sink;
    PartReader reader(source, c.hashing, c.sink ? &sink : nullptr);
    reader.want({kPartFiles});
    ASSERT_EQ(reader.next(), kPartFiles);
    EXPECT_EQ(source.seeked() > 0, c.expectSeek) << c.hashing << c.sink << c.seekable;
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
  writer.part(kPartFiles, pkgbuild::encodeArchive({}));
  RecordingSigner signer;
  ASSERT_TRUE(writer.sign(signer.signer(), kSignatureBothSize));
  const Bytes file = writer.finish();

  MemorySource source(file);
  PartReader reader(source, true, nullptr);
  reader.want({kPartSignature});
  ASSERT_EQ(reader.next(), kPartSignature);
  (void)reader.verifySignature();
  EXPECT_TRUE(reader.digestIsSha256());
  EXPECT_EQ(reader.digestStart(), switchOffset);
  const Bytes digest(reader.digest(), reader.digest() + 32);
  EXPECT_EQ(digest, hashRange(file, switchOffset, reader.partOffset() + kPartHeaderSize, true));
  EXPECT_EQ(digest, signer.digests[0]);
}

TEST(PartReader, SignaturePayloadSizesChooseTheForm) {
  struct Case {
    std::size_t payload;
    std::size_t consumed;
  };
  const Case cases[] = {{0, 0}, {67, 0}, {68, 68}, {100, 68}, {131, 68}, {132, 132}, {200, 132}};
  for (const Case& c : cases) {
    for (const bool hashing : {true, false}) {
      PackageWriter writer;
      ASSERT_TRUE(appendHeaderParts(writer, samplePackage("pkg"), kPartPackageHeader));
      writer.part(kPartSignature, Bytes(c.payload, 0x5A));
      const Bytes file = writer.finish();
      MemorySource source(file);
      MemorySink copy;
      PartReader reader(source, hashing, &copy);
      reader.want({kPartSignature});
      ASSERT_EQ(reader.next(), kPartSignature);
      const std::size_t before = copy.bytes().size();
      // A made-up signature never passes.
      EXPECT_EQ(reader.verifySignature(), 0);
      const std::size_t consumed = hashing ? c.consumed : 0;
      EXPECT_EQ(reader.remaining(), c.payload - consumed) << c.payload;
      EXPECT_EQ(copy.bytes().size() - before, consumed) << c.payload;
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
  std::uint8_t first[10], again[10];
  ASSERT_TRUE(reader.readExact(first, sizeof first));
  ASSERT_TRUE(reader.unread(sizeof first));
  EXPECT_EQ(reader.remaining(), reader.partLength());
  ASSERT_TRUE(reader.readExact(again, sizeof again));
  EXPECT_EQ(std::memcmp(first, again, sizeof first), 0);
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
      EXPECT_TRUE(reader.failed());
      EXPECT_TRUE(reader.atEnd());
      EXPECT_LE(reader.position(), cut);
      EXPECT_EQ(reader.next(), -1);
    }
  }
}

TEST(PartReader, FileHeaderChecks) {
  struct Case {
    Bytes header;
    bool readable;
    bool untracked;
  };
  auto header = [](std::uint32_t magic, std::uint32_t length) {
    Bytes b(8);
    storeLe32(b.data(), magic);
    storeLe32(b.data() + 4, length);
    return b;
  };
  const Case cases[] = {
      {header(kMagicTracked, 0), true, false},
      {header(kMagicUntracked, 0), true, true},
      {header(0x1EF1D0BA, 0), false, false},  // the magic in the wrong byte order
      {Bytes{0x1E, 0xF1, 0xD0, 0xBA, 0, 0, 0}, false, false},
      {Bytes{}, false, false},
  };
  for (const Case& c : cases) {
    MemorySource source(c.header);
    PartReader reader(source, true, nullptr);
    EXPECT_EQ(reader.failed(), !c.readable);
    EXPECT_EQ(reader.isUntracked(), c.untracked);
    EXPECT_EQ(reader.next(), -1);
  }
  // The total of the longest file does not wrap.
  const Bytes longest = header(kMagicTracked, 0xFFFFFFFFu);
  MemorySource source(longest);
  PartReader reader(source, false, nullptr);
  EXPECT_EQ(reader.total(), 0xFFFFFFFFull + 8);
}

TEST(PartReader, AFailingCopySinkIsReportedAndReadingGoesOn) {
  const auto file = buildPackage(samplePackage("pkg"), SignatureForm::None, nullptr);
  ASSERT_TRUE(file);
  MemorySource source(*file);
  MemorySink sink;
  sink.failAfter(40, ENOSPC);
  PartReader reader(source, true, &sink);
  reader.want(kInstallWanted);
  int parts = 0;
  while (reader.next() >= 0) ++parts;
  EXPECT_EQ(parts, 5);
  EXPECT_TRUE(reader.copyFailed());
  EXPECT_EQ(reader.copyError(), ENOSPC);
  EXPECT_EQ(reader.position(), file->size());
}

}  // namespace
}  // namespace vl
