// A transfer that ends early, at any byte, fails the package and, once the journal is
// aborted, leaves the flash exactly as it was.
#include <gtest/gtest.h>

#include "packages/install.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

class CutStream : public InstallFixture {
 protected:
  // Installs every prefix of file, stepping by stride, from a fresh repository each time.
  void expectEveryCutFails(const Bytes& file, std::size_t stride) {
    const auto before = snapshot();
    for (std::size_t length = 0; length < file.size(); length += stride) {
      SCOPED_TRACE(length);
      openRepository();
      const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_NE(install(cut), InstallResult::Installed);
      ASSERT_EQ(snapshot(), before);
    }
    openRepository();
    EXPECT_EQ(install(file), InstallResult::Installed);  // the whole file is fine
  }
};

TEST_F(CutStream, PackageOrBundleCutAtAnyByteFailsCleanly) {
  PackageSource p = testPackage("app", "6.49", {{"bin/app", 0100755, "application"}});
  p.provides = {Relation{"webui", 0, 0, 1}};
  p.image = Bytes(300, 0x77);
  expectEveryCutFails(buildFile(p), 1);
  BundleSource b;
  b.header = testPackage("suite", "6.49");
  b.header.hasFiles = false;
  b.choices = std::vector<Relation>{{"extra", 0, 0, 0}};
  b.members = {testPackage("core", "6.49", {{"bin/core", 0100755, "core"}}),
               testPackage("extra", "6.49", {{"bin/extra", 0100755, "extra"}})};
  emptyDirectory("/flash");
  layOutFlash();
  expectEveryCutFails(buildBundleFile(b), 3);
}

// Cut between the signature and the end the header declares, or longer than that, the
// package itself would check out; the kept copy would not.
TEST_F(CutStream, PackageWithTrailingPartsCutOrLongerFails) {
  pkgbuild::PackageWriter writer;
  ASSERT_TRUE(pkgbuild::appendPackage(writer,
                                      testPackage("app", "6.49", {{"bin/app", 0100755, "a"}}),
                                      SignatureForm::Both, pkgbuild::signerFor(devKeys())));
  const std::size_t signedEnd = writer.size();
  writer.part(kPartArchitecture, std::string("mips"));
  writer.part(kPartDependencies, Bytes{});
  const Bytes file = writer.finish();
  const auto before = snapshot();
  for (std::size_t length = signedEnd; length < file.size(); ++length) {
    SCOPED_TRACE(length);
    openRepository();
    EXPECT_EQ(install(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length))),
              InstallResult::Failed);
    ASSERT_EQ(snapshot(), before);
  }
  openRepository();
  Bytes longer = file;
  longer.push_back(0);  // one byte beyond the declared end
  EXPECT_EQ(install(longer), InstallResult::Failed);
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace vl::testing
