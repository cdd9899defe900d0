#include <gtest/gtest.h>
#include <sys/stat.h>

#include "packages/install.h"
#include "streams/bytes.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

PackageSource appRelease(const char* version, std::vector<ArchiveFile> files) {
  PackageSource p = testPackage("app", version, std::move(files));
  p.dependencies = {Relation{"base", parseVersion("6.0"), 0, 0}};
  p.provides = {Relation{"webui", 0, 0, 3}};
  return p;
}

class Install : public InstallFixture {
 protected:
  void SetUp() override {
    InstallFixture::SetUp();
    ASSERT_EQ(install(buildFile(testPackage("base", "6.49"))), InstallResult::Installed);
    openRepository();
  }
};

TEST_F(Install, FreshPackageLandsWithItsDatabaseEntry) {
  PackageSource p = appRelease("6.49.2", {{"bin/app", 0100755, "#!/bin/sh\necho app\n"},
                                          {"/etc/app.conf", 0100600, "port=80\n"},
                                          {"etc/empty", 0100644, ""},
                                          {"usr/share/app", 040755, ""},
                                          {"bin/app-link", 0120777, "app"},
                                          {"etc/skipped", 0100644, "not written", true}});
  ASSERT_EQ(install(buildFile(p)), InstallResult::Installed);
  EXPECT_EQ(readFile("/flash/bin/app"), "#!/bin/sh\necho app\n");
  EXPECT_EQ(readFile("/flash/etc/app.conf"), "port=80\n");
  EXPECT_EQ(readFile("/flash/etc/empty"), "");
  for (const char* absent : {"/flash/usr/share/app", "/flash/bin/app-link", "/flash/etc/skipped",
                             "/flash/var/pdb/app/disabled", "/flash/var/pdb/app/image"}) {
    EXPECT_FALSE(exists(absent)) << absent;
  }
  const std::string d = "/flash/var/pdb/app/";
  EXPECT_EQ(readFile(d + "version"), "103900674 1700000000\n");
  EXPECT_EQ(readFile(d + "deps"), "base 100689408 0\n");
  EXPECT_EQ(readFile(d + "provides"), "webui 0 0 3\n");
  EXPECT_EQ(readFile(d + "files"), "bin/app\netc/app.conf\netc/empty\n");
  EXPECT_EQ(lastMessage(), "installed app-6.49.2");
}

// The files list is read back on the next run: a line that climbs out of the installed
// root, or names the root itself, removes nothing.
TEST_F(Install, UpgradeRemovesTheOldReleasesFilesAndNothingElse) {
  ASSERT_EQ(install(buildFile(appRelease(
                "6.49", {{"bin/app", 0100755, "old"}, {"lib/old.so", 0100644, "gone"}}))),
            InstallResult::Installed);
  writeFile("/flash/var/pdb/app/files",
            "bin/app\nlib/old.so\n../rw/victim\n/\nbin/../../rw/victim\n./\n");
  writeFile("/rw/victim", "not the package's");
  openRepository();
  ASSERT_EQ(install(buildFile(appRelease("6.50", {{"bin/app", 0100755, "new"}}))),
            InstallResult::Installed);
  EXPECT_EQ(readFile("/flash/bin/app"), "new");
  EXPECT_FALSE(exists("/flash/lib/old.so"));
  EXPECT_EQ(readFile("/rw/victim"), "not the package's");
  EXPECT_EQ(readFile("/flash/var/pdb/app/files"), "bin/app\n");
  EXPECT_EQ(lastMessage(), "installed app-6.50");
  for (const auto& [path, description] : snapshot()) {
    EXPECT_NE(path.compare(path.rfind('/'), 4, "/tmp"), 0) << path << " left behind";
  }
}

BundleSource suite(std::optional<std::vector<Relation>> choices) {
  BundleSource b;
  b.header = testPackage("suite", "6.49");
  b.header.hasFiles = false;
  b.choices = std::move(choices);
  b.members = {testPackage("core", "6.49", {{"bin/core", 0100755, "core"}}),
               testPackage("extra", "6.49", {{"bin/extra", 0100755, "extra"}})};
  return b;
}

// Unsigned, forged, hostile or too big to stage before its signature: the file is broken
// and leaves the flash exactly as it was once the journal is aborted. After the signature
// only an architecture part and an empty dependencies part may come: anything else would
// reach the kept image unsigned.
TEST_F(Install, BrokenFilesLeaveNoTrace) {
  const PackageSource p = appRelease("6.49", {{"bin/app", 0100755, "payload"}});
  Bytes forged = buildFile(p);
  // The build time's first byte, inside the signed package header record: the header
  // follows the empty digest switch part (6 bytes) and its own part header (6 bytes).
  forged[kFileHeaderSize + 6 + 6 + 20] ^= 0x01;
  Bytes cutSignature = buildFile(p);
  storeLe32(cutSignature.data() + 4, static_cast<std::uint32_t>(cutSignature.size() - 8 - 70));
  cutSignature.resize(cutSignature.size() - 70);  // a 62-byte signature part is left
  storeLe32(cutSignature.data() + cutSignature.size() - 62 - 4, 62);
  auto withFiles = [](std::vector<ArchiveFile> files) {
    files.insert(files.begin(), {"bin/good", 0100755, "fine"});
    files.push_back({"bin/later", 0100644, "never"});
    return buildFile(appRelease("6.49", std::move(files)));
  };
  auto trailing = [&p](std::vector<std::pair<std::uint16_t, Bytes>> parts) {
    pkgbuild::PackageWriter writer;
    EXPECT_TRUE(
        pkgbuild::appendPackage(writer, p, SignatureForm::Both, pkgbuild::signerFor(devKeys())));
    for (const auto& [type, payload] : parts) writer.part(type, payload);
    return writer.finish();
  };
  std::vector<ArchiveFile> many(8193, ArchiveFile{"", 0100644, ""});
  for (std::size_t i = 0; i < many.size(); ++i) many[i].name = "f/" + std::to_string(i);
  BundleSource hostileMember = suite(std::nullopt);
  hostileMember.members[1].files = {{"../escape", 0100644, "x"}};
  BundleSource selfNamed = suite(std::nullopt);
  selfNamed.members[1] = testPackage("suite", "6.49", {{"bin/s", 0100755, "s"}});
  BundleSource withRelations = suite(std::nullopt);
  withRelations.header.dependencies = {Relation{"core", 0, 0, 0}};
  const struct {
    const char* what;
    Bytes file;
    InstallResult expected = InstallResult::Failed;
    const char* message = "ERROR: installation of app-6.49 failed: broken package";
  } cases[] = {
      {"no signature", buildFile(p, SignatureForm::None)},
      {"scheme 1 only, release needs both", buildFile(p, SignatureForm::SchemeOne)},
      {"forged header", forged},
      {"signature part too short", cutSignature},
      {"climbs out", withFiles({{"../../etc/evil", 0100644, "evil"}})},
      {"line feed in a name", withFiles({{"x\n../rw/victim", 0100644, "evil"}})},
      {"control character in a name", withFiles({{"bin/a\rb", 0100644, "evil"}})},
      {"more than 8192 files", withFiles(many)},
      {"data above 64 MiB", withFiles({{"big", 0100644, std::string((64 << 20) + 1, '\0')}})},
      {"dependencies with entries after the signature", trailing({{kPartDependencies, {0, 0}}})},
      {"a files part after the signature", trailing({{kPartFiles, {}}})},
      {"architecture twice", trailing({{kPartArchitecture, {'m'}}, {kPartArchitecture, {'m'}}})},
      {"an unknown part after the signature", trailing({{77, {1}}})},
      {"hostile member", buildBundleFile(hostileMember), InstallResult::Refused, nullptr},
      {"member named like its bundle", buildBundleFile(selfNamed), InstallResult::Refused, nullptr},
      {"bundle with relations of its own", buildBundleFile(withRelations), InstallResult::Failed,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expectNoTrace(c.file, c.expected, c.message);
    EXPECT_EQ(repository->find("app"), nullptr);
  }
  openRepository();
  EXPECT_EQ(install(trailing({{kPartArchitecture, {'m', 'i', 'p', 's'}}, {kPartDependencies, {}}})),
            InstallResult::Installed);
  EXPECT_EQ(lastMessage(), "installed app-6.49");
}

// A name that passes every text check still must not lead through a symbolic link, on
// flash or staged, out of "/flash".
TEST_F(Install, UnpackTargetStaysInsideFlash) {
  ASSERT_EQ(::mkdir("/flash/usr", 0755), 0);
  ASSERT_EQ(::mkdir("/ram/outside", 0755), 0);
  ASSERT_EQ(::symlink("/flash/usr", "/flash/inside"), 0);
  ASSERT_EQ(::symlink("/ram/outside", "/flash/out"), 0);
  journal.stageSymlink("/ram/outside", "/flash/staged");
  Package record;
  record.name = "app";
  const std::pair<std::string, const char*> cases[] = {
      {"/bin/x", "/flash/bin/x"},
      {"inside/lib.so", "/flash/inside/lib.so"},
      {"out/lib.so", "<refused>"},
      {"staged/lib.so", "<refused>"},
      {std::string("bin/x\0/../../y", 14), "<refused>"},
  };
  for (const auto& [entry, expected] : cases) {
    EXPECT_EQ(unpackTarget(record, entry, journal).value_or("<refused>"), expected) << entry;
  }
}

// Re-sending an installed release is done without reinstalling. Its copy was never
// verified (the signature is not read): an unsigned copy with a forged header must not
// replace the kept image or the boot image.
TEST_F(Install, BootImagePackageSkipsItsFilesAndTheSameReleaseAgainKeepsItsImage) {
  PackageSource kernel = testPackage("kernel", "6.49", {{"boot/vmlinux", 0100644, "kernel code"}});
  kernel.flags = kFlagBootImage;
  kernel.image = Bytes(10000, 0x5A);
  const Bytes file = buildFile(kernel);
  ::setenv(kBootImageVariable, "1", 1);
  ASSERT_EQ(install(file), InstallResult::Installed);
  EXPECT_TRUE(outputs.bootImage);
  EXPECT_EQ(outputs.imagePath, "/flash/var/pdb/kernel/");
  EXPECT_FALSE(exists("/flash/boot/vmlinux"));
  EXPECT_EQ(readFile("/flash/bootimage"), std::string(file.begin(), file.end()));
  char target[64] = {};
  ASSERT_GT(::readlink("/flash/var/pdb/kernel/image", target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/flash/bootimage");
  EXPECT_EQ(readFile("/flash/UPGRADED"), "");
  EXPECT_FALSE(exists("/flash/var/pdb/kernel/version"));  // the image holds the data
  PackageSource forged = kernel;
  forged.conflicts = {Relation{"base", 0, 0, 0}};
  const Bytes unsigned_ = buildFile(forged, SignatureForm::None);
  const std::pair<std::uint32_t, const char*> cases[] = {
      {1, "WARNING: omitting package kernel-6.49: it is already installed"},
      {1 | 32, "installed kernel-6.49"},
  };
  for (const auto& [allowed, message] : cases) {
    SCOPED_TRACE(allowed);
    expectNoTrace(unsigned_, InstallResult::Installed, message, allowed);
    EXPECT_EQ(outputs.imagePath, "");
    EXPECT_FALSE(outputs.bootImage);
  }
}

TEST_F(Install, FailedPackageCopyIsNotKept) {
  const Bytes file = buildFile(appRelease("6.49", {{"bin/app", 0100755, std::string(3000, 'a')}}));
  MemorySource source(file.data(), file.size());
  MemorySink copy;
  copy.failAfter(file.size() - 200, ENOSPC);
  outputs.imagePath = "untouched";
  EXPECT_EQ(installFromStream(*planner, journal, source, 1, {}, &copy, outputs),
            InstallResult::Failed);
  EXPECT_EQ(outputs.imagePath, "untouched");
  EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.49 failed: disk is too small");
}

using Bundle = InstallFixture;

TEST_F(Bundle, InstallAndReinstallWithoutAMember) {
  ASSERT_EQ(install(buildBundleFile(suite(std::vector<Relation>{{"extra", 0, 0, 0}}))),
            InstallResult::Installed);
  EXPECT_EQ(readFile("/flash/bin/core"), "core");
  EXPECT_EQ(readFile("/flash/x/extra/bin/extra"), "extra");
  EXPECT_EQ(readFile("/flash/var/pdb/extra/disabled"), "auto\n");
  EXPECT_EQ(readFile("/flash/var/pdb/core/bundle"), "suite\n");
  EXPECT_EQ(readFile("/flash/var/pdb/suite/version"), "103900672 1700000000\n");
  EXPECT_FALSE(exists("/flash/var/pdb/suite/files"));  // a bundle owns no files
  openRepository();
  BundleSource next = suite(std::nullopt);
  next.header.version = parseVersion("6.50");
  next.members = {testPackage("core", "6.50", {{"bin/core", 0100755, "core 2"}})};
  ASSERT_EQ(install(buildBundleFile(next)), InstallResult::Installed);
  EXPECT_EQ(readFile("/flash/bin/core"), "core 2");
  EXPECT_FALSE(exists("/flash/x/extra/bin/extra"));
  EXPECT_FALSE(exists("/flash/var/pdb/extra"));
  EXPECT_EQ(lastMessage(), "installed suite-6.50");
}

// A member of the release already installed is passed over, but its header stays in the
// bundle's kept image: its signature must still hold.
TEST_F(Bundle, MemberPassedOverStillNeedsItsSignature) {
  BundleSource first = suite(std::nullopt);
  first.header.image = Bytes(16, 0x33);  // the members load from the kept image
  ASSERT_EQ(install(buildBundleFile(first)), InstallResult::Installed);
  BundleSource next = first;
  next.header.version = parseVersion("6.50");
  next.members[0] = testPackage("core", "6.50", {{"bin/core", 0100755, "core 2"}});
  next.members[1].conflicts = {Relation{"core", 0, 0, 0}};
  Bytes file = buildBundleFile(next);
  // The last member's signature, cut to zeros: a forged member.
  std::fill(file.end() - 132, file.end(), 0);
  expectNoTrace(file, InstallResult::Refused,
                "ERROR: installation of suite-6.50 failed: broken package");
}

}  // namespace
}  // namespace vl::testing
