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
using pkgbuild::PackageWriter;
using pkgbuild::SignatureForm;
using testing::devKeys;

// The levels of every signature part of a file, in order.
std::vector<int> levels(const Bytes& file, const KeySet& keys = devKeys().keys, bool hash = true) {
  MemorySource source(file);
  PartReader reader(source, hash, nullptr, keys);
  reader.want({kPartSignature});
  std::vector<int> out;
  while (reader.next() == kPartSignature) out.push_back(reader.verifySignature());
  return out;
}

// The offset of the first part of a type in a file.
std::size_t offsetOf(const Bytes& file, std::uint16_t type) {
  MemorySource source(file);
  PartReader reader(source, false, nullptr);
  reader.want({type});
  EXPECT_EQ(reader.next(), type);
  return static_cast<std::size_t>(reader.partOffset());
}

// Levels of both forms and of other keys, and what a signature leaves out: the file header
// (a tracked package presented as untracked keeps its signature) and a bundle's own parts,
// which come before the member's header that restarts the digest (a signed member wrapped
// in a made-up bundle still verifies).
TEST(Signature, LevelsOfTheFormsOtherKeysAndWhatASignatureDoesNotCover) {
  // A 132-byte form without a digest switch signs the SHA-1 digest and 12 zero bytes.
  PackageWriter noSwitch;
  ASSERT_TRUE(appendPackage(noSwitch, testing::testPackage("pkg"), SignatureForm::None, nullptr));
  ASSERT_TRUE(noSwitch.sign(pkgbuild::signerFor(devKeys()), kSignatureBothSize));
  EXPECT_EQ(levels(noSwitch.finish()), std::vector<int>{2});
  EXPECT_EQ(levels(testing::buildFile(testing::testPackage("pkg"), SignatureForm::SchemeOne)),
            std::vector<int>{1});
  const Bytes good = testing::buildFile(testing::testPackage("pkg", "7.2"));
  EXPECT_EQ(levels(good), std::vector<int>{2});

  std::uint8_t material[kKeyMaterialSize];
  for (std::size_t i = 0; i < sizeof material; ++i) material[i] = static_cast<std::uint8_t>(i * 7);
  const auto other = deriveKeys(material);
  ASSERT_TRUE(other);
  EXPECT_EQ(levels(good, other->keys), std::vector<int>{0});
  EXPECT_EQ(levels(good, devKeys().keys, false), std::vector<int>{0});

  Bytes untracked = good;
  storeLe32(untracked.data(), kMagicUntracked);
  EXPECT_EQ(levels(untracked), std::vector<int>{2});
  PackageWriter wrapper;
  wrapper.part(kPartDigestSwitch, Bytes{});
  wrapper.part(kPartBundleHeader, pkgbuild::encodeHeaderRecord("made-up", 0x7F000000, 0, 0));
  wrapper.part(kPartChoiceList, pkgbuild::encodeRelations({{"pkg", 0, 0, 0}}));
  Bytes bundle = wrapper.finish();
  bundle.insert(bundle.end(), good.begin() + offsetOf(good, kPartPackageHeader), good.end());
  storeLe32(bundle.data() + 4, static_cast<std::uint32_t>(bundle.size() - kFileHeaderSize));
  EXPECT_EQ(levels(bundle), std::vector<int>{2});
}

TEST(Signature, AChangedByteAnywhereInTheSignedRangeFailsBothSchemes) {
  const Bytes good = testing::buildFile(testing::testPackage("pkg", "7.2"));
  const std::size_t end = offsetOf(good, kPartSignature) + kPartHeaderSize;
  for (std::size_t i = offsetOf(good, kPartPackageHeader); i < end; ++i) {
    Bytes changed = good;
    changed[i] ^= 0x04;
    // A change in a part length may also lose the signature part: no level at all.
    const std::vector<int> got = levels(changed);
    EXPECT_TRUE(got.empty() || got == std::vector<int>{0}) << "byte " << i;
  }
}

}  // namespace
}  // namespace vl
