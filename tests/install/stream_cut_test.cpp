// A transfer that ends early, at any byte, or goes on past the end the header declares,
// fails the package and, once the journal is aborted, leaves the flash exactly as it was.
#include <gtest/gtest.h>

#include "packages/install.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

class CutStream : public InstallFixture {
 protected:
  // Installs every prefix of file, stepping by stride, and the file with one byte more,
  // from a fresh repository each time.
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
    Bytes longer = file;
    longer.push_back(0);
    EXPECT_NE(install(longer), InstallResult::Installed);
    EXPECT_EQ(snapshot(), before);
    openRepository();
    EXPECT_EQ(install(file), InstallResult::Installed);  // the whole file is fine
  }
};

// The package's last parts come after its signature: cut there, the package itself
// would check out; the kept copy would not.
TEST_F(CutStream, PackageOrBundleCutAtAnyByteOrLongerFailsCleanly) {
  PackageSource p = testPackage("app", "6.49", {{"bin/app", 0100755, "application"}});
  p.provides = {Relation{"webui", 0, 0, 1}};
  p.image = Bytes(300, 0x77);
  pkgbuild::PackageWriter writer;
  ASSERT_TRUE(appendPackage(writer, p, SignatureForm::Both, pkgbuild::signerFor(devKeys())));
  writer.part(kPartArchitecture, std::string("mips"));
  writer.part(kPartDependencies, Bytes{});
  expectEveryCutFails(writer.finish(), 1);
  BundleSource b;
  b.header = testPackage("suite", "6.49");
  b.header.hasFiles = false;
  b.choices = std::vector<Relation>{{"extra", 0, 0, 0}};
  b.members = {testPackage("core", "6.49", {{"bin/core", 0100755, "core"}}),
               testPackage("extra", "6.49", {{"bin/extra", 0100755, "extra"}})};
  expectEveryCutFails(buildBundleFile(b), 3);
}

}  // namespace
}  // namespace vl::testing
