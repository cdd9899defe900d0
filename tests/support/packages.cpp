#include "tests/support/packages.h"

#include <gtest/gtest.h>

#include <optional>

namespace vl::testing {

const SecretKeySet& devKeys() {
  static const SecretKeySet keys = [] {
    std::string error;
    std::optional<SecretKeySet> loaded = loadSecretKeys(VL_TEST_SECRET_KEYS, error);
    EXPECT_TRUE(loaded) << error;
    return loaded.value_or(SecretKeySet{});
  }();
  return keys;
}

PackageSource testPackage(const std::string& name, const char* version,
                          std::vector<ArchiveFile> files) {
  PackageSource p;
  p.name = name;
  p.version = parseVersion(version);
  p.buildTime = 1700000000;
  p.architecture = "mips";
  p.files = std::move(files);
  return p;
}

pkgbuild::Bytes buildFile(const PackageSource& source, SignatureForm form, std::uint32_t magic) {
  std::optional<pkgbuild::Bytes> bytes =
      pkgbuild::buildPackage(source, form, pkgbuild::signerFor(devKeys()), magic);
  EXPECT_TRUE(bytes) << source.name;
  return bytes.value_or(pkgbuild::Bytes{});
}

pkgbuild::Bytes buildBundleFile(const BundleSource& bundle, SignatureForm form) {
  std::optional<pkgbuild::Bytes> bytes =
      pkgbuild::buildBundle(bundle, form, pkgbuild::signerFor(devKeys()));
  EXPECT_TRUE(bytes) << bundle.header.name;
  return bytes.value_or(pkgbuild::Bytes{});
}

}  // namespace vl::testing
