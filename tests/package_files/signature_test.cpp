// Signature levels of packages signed with the development key set: both forms, forged
// and changed bytes, and what a signature does not cover.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packages/part_reader.h"
#include "streams/bytes.h"
#include "tests/support/packages.h"
#include "tools/pellpkg/builder.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

using pkgbuild::Bytes;
using pkgbuild::PackageSource;
using pkgbuild::PackageWriter;
using pkgbuild::SignatureForm;
using pkgbuild::signerFor;

using testing::devKeys;

PackageSource sample(const std::string& name) {
  PackageSource p;
  p.name = name;
  p.version = 0x07020000;
  p.buildTime = 1700000000;
  p.architecture = "mips";
  p.dependencies = {{"system", 0x07000000, 0, 0}};
  p.files = {{"bin/x", 0100755, "program"}};
  return p;
}

// The levels of every signature part of a file, in order.
std::vector<int> levels(const Bytes& file, const KeySet& keys, bool hashing = true) {
  MemorySource source(file);
  PartReader reader(source, hashing, nullptr, keys);
  reader.want({kPartSignature});
  std::vector<int> out;
  while (reader.next() == kPartSignature) out.push_back(reader.verifySignature());
  return out;
}

std::vector<int> levels(const Bytes& file) { return levels(file, devKeys().keys); }

Bytes signedPackage(SignatureForm form) {
  auto file = buildPackage(sample("pkg"), form, signerFor(devKeys()));
  EXPECT_TRUE(file);
  return file.value_or(Bytes{});
}

// The signature part's offset (its header) in a one-package file.
std::size_t signatureOffset(const Bytes& file) {
  MemorySource source(file);
  PartReader reader(source, false, nullptr);
  reader.want({kPartSignature});
  EXPECT_EQ(reader.next(), kPartSignature);
  return static_cast<std::size_t>(reader.partOffset());
}

TEST(Signature, LevelsOfTheForms) {
  // A 132-byte form without a digest switch signs the SHA-1 digest and 12 zero bytes.
  PackageWriter noSwitch;
  ASSERT_TRUE(appendPackage(noSwitch, sample("pkg"), SignatureForm::None, nullptr));
  ASSERT_TRUE(noSwitch.sign(signerFor(devKeys()), kSignatureBothSize));
  // 100 bytes: a scheme-1 signature and 32 bytes that are not looked at.
  PackageWriter hundred;
  ASSERT_TRUE(appendPackage(hundred, sample("pkg"), SignatureForm::None, nullptr));
  const pkgbuild::Signer padded = [](const std::uint8_t digest[32], std::size_t length) {
    Bytes payload = signerFor(devKeys())(digest, kSignatureSchemeOneSize);
    payload.resize(length, 0xEE);
    return payload;
  };
  ASSERT_TRUE(hundred.sign(padded, 100));

  struct Case {
    const char* what;
    Bytes file;
    int level;
  };
  const Case cases[] = {
      {"68 bytes", signedPackage(SignatureForm::SchemeOne), 1},
      {"132 bytes after a digest switch", signedPackage(SignatureForm::Both), 2},
      {"132 bytes over a SHA-1 digest", noSwitch.finish(), 2},
      {"100 bytes", hundred.finish(), 1},
  };
  for (const Case& c : cases) EXPECT_EQ(levels(c.file), std::vector<int>{c.level}) << c.what;
}

TEST(Signature, AChangedByteAnywhereInTheSignedRangeFailsBothSchemes) {
  const Bytes good = signedPackage(SignatureForm::Both);
  MemorySource source(good);
  PartReader probe(source, true, nullptr);
  probe.want({kPartPackageHeader});
  ASSERT_EQ(probe.next(), kPartPackageHeader);
  const std::size_t begin = probe.partOffset();
  const std::size_t end = signatureOffset(good) + kPartHeaderSize;
  for (std::size_t i = begin; i < end; ++i) {
    Bytes changed = good;
    changed[i] ^= 0x04;
    // A change in a part length may also lose the signature part: no level at all.
    const std::vector<int> got = levels(changed);
    EXPECT_TRUE(got.empty() || got == std::vector<int>{0}) << "byte " << i;
  }
}

TEST(Signature, WhatASignatureDoesNotCover) {
  const Bytes good = signedPackage(SignatureForm::Both);
  // The file header: a tracked package presented as untracked keeps its signature.
  Bytes untracked = good;
  storeLe32(untracked.data(), kMagicUntracked);
  EXPECT_EQ(levels(untracked), std::vector<int>{2});

  // A bundle's own parts come before the member's header, which restarts the digest:
  // a signed member wrapped in a made-up bundle still verifies.
  PackageWriter wrapper;
  wrapper.part(kPartDigestSwitch, Bytes{});
  wrapper.part(kPartBundleHeader, pkgbuild::encodeHeaderRecord("made-up", 0x7F000000, 0, 0));
  wrapper.part(kPartChoiceList, pkgbuild::encodeRelations({{"pkg", 0, 0, 0}}));
  const Bytes signedMember = signedPackage(SignatureForm::Both);
  // The member's parts from its header on, exactly as signed.
  MemorySource source(signedMember);
  PartReader probe(source, false, nullptr);
  probe.want({kPartPackageHeader});
  ASSERT_EQ(probe.next(), kPartPackageHeader);
  Bytes bundle = wrapper.finish();
  bundle.insert(bundle.end(),
                signedMember.begin() + static_cast<std::ptrdiff_t>(probe.partOffset()),
                signedMember.end());
  storeLe32(bundle.data() + 4, static_cast<std::uint32_t>(bundle.size() - kFileHeaderSize));
  EXPECT_EQ(levels(bundle), std::vector<int>{2});
}

TEST(Signature, EachPackageOfAFileVerifiesOnItsOwn) {
  PackageWriter writer;
  ASSERT_TRUE(
      appendPackage(writer, sample("first"), SignatureForm::SchemeOne, signerFor(devKeys())));
  ASSERT_TRUE(appendPackage(writer, sample("second"), SignatureForm::Both, signerFor(devKeys())));
  EXPECT_EQ(levels(writer.finish()), (std::vector<int>{1, 2}));
}

TEST(Signature, OtherKeysOrNoHashingGiveNothing) {
  const Bytes good = signedPackage(SignatureForm::Both);
  std::uint8_t material[kKeyMaterialSize];
  for (std::size_t i = 0; i < sizeof material; ++i)
    material[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const auto other = deriveKeys(material);
  ASSERT_TRUE(other);
  EXPECT_EQ(levels(good, other->keys), std::vector<int>{0});
  EXPECT_EQ(levels(good, devKeys().keys, false), std::vector<int>{0});
}

}  // namespace
}  // namespace vl
