#include <gtest/gtest.h>
#include <sys/stat.h>

#include "packages/install.h"
#include "streams/bytes.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

std::string fileMode(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "<absent>";
  char text[16];
  std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(st.st_mode));
  return text;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Temporary files of the journal are "tmp" + six characters in a staging directory.
std::vector<std::string> leftoverTemporaries() {
  std::vector<std::string> found;
  for (const auto& [path, description] : snapshot()) {
    const std::size_t slash = path.rfind('/');
    if (path.compare(slash + 1, 3, "tmp") == 0 && path.size() - slash - 1 == 9) {
      found.push_back(path);
    }
  }
  return found;
}

PackageSource appRelease(const char* version, std::vector<ArchiveFile> files) {
  PackageSource p = package("app", version, std::move(files));
  p.dependencies = {Relation{"base", ver("6.0"), 0, 0}};
  p.provides = {Relation{"webui", 0, 0, 3}};
  return p;
}

class Install : public InstallFixture {
 protected:
  void SetUp() override {
    InstallFixture::SetUp();
    ASSERT_EQ(install(build(package("base", "6.49"))), kInstalled);
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
  ASSERT_EQ(install(build(p)), kInstalled);

  EXPECT_EQ(readFile("/flash/bin/app"), "#!/bin/sh\necho app\n");
  EXPECT_EQ(fileMode("/flash/bin/app"), "100755");
  EXPECT_EQ(readFile("/flash/etc/app.conf"), "port=80\n");
  EXPECT_EQ(fileMode("/flash/etc/app.conf"), "100600");
  EXPECT_EQ(readFile("/flash/etc/empty"), "");
  EXPECT_FALSE(exists("/flash/usr/share/app"));
  EXPECT_FALSE(exists("/flash/bin/app-link"));
  EXPECT_FALSE(exists("/flash/etc/skipped"));

  const std::string d = "/flash/var/pdb/app/";
  EXPECT_EQ(readFile(d + "version"), std::to_string(ver("6.49.2")) + " 1700000000\n");
  EXPECT_EQ(readFile(d + "deps"), "base " + std::to_string(ver("6.0")) + " 0\n");
  EXPECT_EQ(readFile(d + "provides"), "webui 0 0 3\n");
  EXPECT_EQ(readFile(d + "files"), "bin/app\netc/app.conf\netc/empty\n");
  EXPECT_FALSE(exists(d + "conflicts"));
  EXPECT_FALSE(exists(d + "bundle"));
  EXPECT_FALSE(exists(d + "disabled"));
  EXPECT_FALSE(exists(d + "enabled"));
  EXPECT_FALSE(exists(d + "image"));
  EXPECT_FALSE(exists("/flash/UPGRADED"));
  EXPECT_EQ(lastMessage(), "installed app-6.49.2");
  EXPECT_EQ(leftoverTemporaries(), std::vector<std::string>{});

  openRepository();
  const Package* loaded = repository->find("app");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->files, (std::set<std::string>{"/bin/app", "/etc/app.conf", "/etc/empty"}));
  EXPECT_FALSE(loaded->disabled);
}

TEST_F(Install, UpgradeReplacesFilesAndRemovesTheOldReleasesLeftovers) {
  ASSERT_EQ(install(build(appRelease(
                "6.49", {{"bin/app", 0100755, "old"}, {"lib/old.so", 0100644, "gone"}}))),
            kInstalled);
  openRepository();
  ASSERT_EQ(install(build(appRelease(
                "6.50", {{"bin/app", 0100755, "new"}, {"lib/new.so", 0100644, "added"}}))),
            kInstalled);
  EXPECT_EQ(readFile("/flash/bin/app"), "new");
  EXPECT_EQ(readFile("/flash/lib/new.so"), "added");
  EXPECT_FALSE(exists("/flash/lib/old.so"));
  EXPECT_EQ(readFile("/flash/var/pdb/app/files"), "bin/app\nlib/new.so\n");
  EXPECT_EQ(readFile("/flash/var/pdb/app/version"), std::to_string(ver("6.50")) + " 1700000000\n");
  EXPECT_EQ(lastMessage(), "installed app-6.50");
  EXPECT_EQ(leftoverTemporaries(), std::vector<std::string>{});
}

TEST_F(Install, SameReleaseAgainIsDoneWithoutReinstalling) {
  const Bytes file = build(appRelease("6.49", {{"bin/app", 0100755, "one"}}));
  ASSERT_EQ(install(file), kInstalled);
  openRepository();
  const auto before = snapshot();
  EXPECT_EQ(install(file), kInstalled);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "WARNING: omitting package app-6.49: it is already installed"});
}

TEST_F(Install, SameReleaseAllowedIsReportedAsInstalled) {
  const Bytes file = build(appRelease("6.49", {{"bin/app", 0100755, "one"}}));
  ASSERT_EQ(install(file), kInstalled);
  openRepository();
  const auto before = snapshot();
  EXPECT_EQ(install(file, {}, kSituationUpgrade | kSituationSameRelease), kInstalled);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(messages(), std::vector<std::string>{"installed app-6.49"});
}

TEST_F(Install, DowngradeIsRefusedAndLeavesTheFlashAsItWas) {
  ASSERT_EQ(install(build(appRelease("6.50", {{"bin/app", 0100755, "new"}}))), kInstalled);
  openRepository();
  const auto before = snapshot();
  EXPECT_EQ(install(build(appRelease("6.49", {{"bin/app", 0100755, "old"}}))), kInstallFailed);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "WARNING: omitting package app-6.49: newer package app-6.50 is "
                            "already installed"});
}

TEST_F(Install, MissingDependencyIsRefused) {
  PackageSource p = package("tool", "6.49", {{"bin/tool", 0100755, "x"}});
  p.dependencies = {Relation{"libfoo", ver("2.0"), 0, 0}};
  const auto before = snapshot();
  EXPECT_EQ(install(build(p)), kInstallFailed);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(lastMessage(),
            "ERROR: can not install tool-6.49: libfoo-2.0 is not installed, but is required");
}

TEST_F(Install, PackageAnEnabledOneConflictsWithInstallsDisabledUnderItsOwnTree) {
  PackageSource guard = package("guard", "6.49", {{"bin/guard", 0100755, "g"}});
  guard.conflicts = {Relation{"rival", 0, 0, 0}};
  ASSERT_EQ(install(build(guard)), kInstalled);
  openRepository();
  ASSERT_EQ(install(build(package("rival", "6.49", {{"bin/rival", 0100755, "r"}}))), kInstalled);
  EXPECT_EQ(readFile("/flash/x/rival/bin/rival"), "r");
  EXPECT_FALSE(exists("/flash/bin/rival"));
  EXPECT_EQ(readFile("/flash/var/pdb/rival/disabled"), "auto\n");
  EXPECT_EQ(readFile("/flash/var/pdb/rival/files"), "x/rival/bin/rival\n");
  EXPECT_EQ(lastMessage(), "installed (disabled) rival-6.49");
}

// The offered package's own conflicts entries are not asked by the check; the plan that
// follows the install then disables the installed package instead.
TEST_F(Install, PackageThatConflictsWithAnInstalledOneDisablesIt) {
  PackageSource rival = package("rival", "6.49", {{"bin/rival", 0100755, "r"}});
  rival.conflicts = {Relation{"base", 0, 0, 0}};
  ASSERT_EQ(install(build(rival)), kInstalled);
  EXPECT_EQ(readFile("/flash/bin/rival"), "r");
  EXPECT_EQ(readFile("/flash/var/pdb/base/disabled"), "auto\n");
  EXPECT_EQ(lastMessage(), "installed rival-6.49");
}

TEST_F(Install, UserChoiceDecidesTheState) {
  UserChoices choices;
  choices["app"] = UserChoice{"app", true};
  ASSERT_EQ(install(build(appRelease("6.49", {{"bin/app", 0100755, "a"}})), choices), kInstalled);
  EXPECT_EQ(readFile("/flash/x/app/bin/app"), "a");
  EXPECT_EQ(readFile("/flash/var/pdb/app/disabled"), "user\n");
}

// A signature that is missing, too weak for the release, or does not match leaves the
// flash exactly as it was once the journal is aborted.
TEST_F(Install, UnsignedOrForgedPackageLeavesNoTrace) {
  const PackageSource p =
      appRelease("6.49", {{"bin/app", 0100755, "payload"}, {"etc/app.conf", 0100644, "conf"}});
  Bytes forged = build(p);
  // The build time's first byte, inside the signed package header record: the header
  // follows the empty digest switch part (6 bytes) and its own part header (6 bytes).
  forged[kFileHeaderSize + 6 + 6 + 20] ^= 0x01;
  Bytes cutSignature = build(p);
  storeLe32(cutSignature.data() + 4, static_cast<std::uint32_t>(cutSignature.size() - 8 - 70));
  cutSignature.resize(cutSignature.size() - 70);  // a 62-byte signature part is left
  storeLe32(cutSignature.data() + cutSignature.size() - 62 - 4, 62);

  const struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"no signature", build(p, SignatureForm::None)},
      {"scheme 1 only, release needs both", build(p, SignatureForm::SchemeOne)},
      {"forged header", forged},
      {"signature part too short", cutSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    openRepository();
    const auto before = snapshot();
    EXPECT_EQ(install(c.file), kInstallFailed);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.49 failed: broken package");
    EXPECT_EQ(repository->find("app"), nullptr);
  }
}

TEST_F(Install, HostileEntryNamesAreABrokenPackage) {
  const char* hostile[] = {"../../etc/evil", "bin/../../evil", "/..", "bin/..", "", "/"};
  for (const char* name : hostile) {
    SCOPED_TRACE(name);
    openRepository();
    const auto before = snapshot();
    const Bytes file = build(appRelease(
        "6.49",
        {{"bin/good", 0100755, "fine"}, {name, 0100644, "evil"}, {"bin/later", 0100644, "never"}}));
    MemorySource source(file.data(), file.size());
    outputs = InstallOutputs{};
    EXPECT_EQ(installFromStream(*planner, journal, source, 1, {}, nullptr, outputs),
              kInstallFailed);
    for (const auto& [path, entry] : journal.entries()) {
      EXPECT_EQ(path.find(".."), std::string::npos) << path;
      EXPECT_NE(path, "/flash/bin/later");
    }
    EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.49 failed: broken package");
    journal.abort();
    EXPECT_EQ(snapshot(), before);
  }
}

TEST_F(Install, EntryThroughALinkOutOfFlashIsABrokenPackage) {
  ASSERT_EQ(::mkdir("/ram/outside", 0755), 0);
  ASSERT_EQ(::symlink("/ram/outside", "/flash/lib"), 0);
  const auto before = snapshot();
  EXPECT_EQ(install(build(appRelease("6.49", {{"lib/evil.so", 0100644, "evil"}}))), kInstallFailed);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.49 failed: broken package");
}

TEST_F(Install, TrailingPartsAfterTheSignature) {
  const PackageSource p = appRelease("6.49", {{"bin/app", 0100755, "a"}});
  const struct {
    const char* what;
    std::vector<std::pair<std::uint16_t, Bytes>> trailing;
    int expected;
  } cases[] = {
      {"architecture and empty dependencies",
       {{kPartArchitecture, Bytes{'m', 'i', 'p', 's'}}, {kPartDependencies, Bytes{}}},
       kInstalled},
      {"empty dependencies alone", {{kPartDependencies, Bytes{}}}, kInstalled},
      {"dependencies with entries", {{kPartDependencies, Bytes{0, 0}}}, kInstallFailed},
      {"a files part", {{kPartFiles, Bytes{}}}, kInstallFailed},
      {"architecture twice",
       {{kPartArchitecture, Bytes{'m'}}, {kPartArchitecture, Bytes{'m'}}},
       kInstallFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    emptyDirectory("/flash/var/pdb/app");
    openRepository();
    pkgbuild::PackageWriter writer;
    ASSERT_TRUE(
        pkgbuild::appendPackage(writer, p, SignatureForm::Both, pkgbuild::signerFor(devKeys())));
    for (const auto& [type, payload] : c.trailing) writer.part(type, payload);
    EXPECT_EQ(install(writer.finish()), c.expected);
    if (c.expected != kInstalled) {
      EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.49 failed: broken package");
    }
  }
}

TEST_F(Install, BootImagePackageWithBootimageSetSkipsItsFiles) {
  PackageSource kernel = package("kernel", "6.49", {{"boot/vmlinux", 0100644, "kernel code"}});
  kernel.flags = kFlagBootImage;
  kernel.image = Bytes(10000, 0x5A);
  const Bytes file = build(kernel);

  ::setenv(kBootImageVariable, "1", 1);
  ASSERT_EQ(install(file), kInstalled);
  EXPECT_TRUE(outputs.bootImage);
  EXPECT_EQ(outputs.imagePath, "/flash/var/pdb/kernel/");
  EXPECT_FALSE(exists("/flash/boot/vmlinux"));
  EXPECT_EQ(readFile("/flash/bootimage"), std::string(file.begin(), file.end()));
  char target[64] = {};
  ASSERT_GT(::readlink("/flash/var/pdb/kernel/image", target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/flash/bootimage");
  EXPECT_EQ(readFile("/flash/UPGRADED"), "");
  EXPECT_FALSE(exists("/flash/var/pdb/kernel/version"));  // the image holds the data
  EXPECT_FALSE(exists("/flash/image"));
}

TEST_F(Install, BootImagePackageWithoutBootimageUnpacksItsFiles) {
  PackageSource kernel = package("kernel", "6.49", {{"boot/vmlinux", 0100644, "kernel code"}});
  kernel.flags = kFlagBootImage;
  kernel.image = Bytes(100, 0x5A);
  const Bytes file = build(kernel);
  ASSERT_EQ(install(file), kInstalled);
  EXPECT_FALSE(outputs.bootImage);
  EXPECT_EQ(readFile("/flash/boot/vmlinux"), "kernel code");
  EXPECT_EQ(readFile("/flash/var/pdb/kernel/image"), std::string(file.begin(), file.end()));
  EXPECT_EQ(readFile("/flash/UPGRADED"), "");
}

TEST_F(Install, BrandingStagesBothMarkers) {
  ASSERT_EQ(install(build(package("branding", "6.49", {{"etc/logo", 0100644, "logo"}}))),
            kInstalled);
  EXPECT_EQ(readFile("/flash/UPGRADED"), "");
  EXPECT_EQ(readFile("/flash/BRANDING_INSTALLED"), "");
}

TEST_F(Install, UntrackedPackageLeavesNoDatabaseEntry) {
  ASSERT_EQ(install(buildUntracked(package("fixup", "6.49", {{"etc/fix", 0100644, "fixed"}}))),
            kInstalled);
  EXPECT_EQ(readFile("/flash/etc/fix"), "fixed");
  EXPECT_FALSE(exists("/flash/var/pdb/fixup"));
  EXPECT_EQ(lastMessage(), "installed fixup-6.49");
}

TEST_F(Install, FailedPackageCopyIsNotKept) {
  const Bytes file = build(appRelease("6.49", {{"bin/app", 0100755, std::string(3000, 'a')}}));
  MemorySource source(file.data(), file.size());
  MemorySink copy;
  ASSERT_GT(file.size(), 300u);
  copy.failAfter(file.size() - 200, ENOSPC);
  EXPECT_EQ(installFromStream(*planner, journal, source, 1, {}, &copy, outputs), kInstallFailed);
  EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.49 failed: disk is too small");
}

}  // namespace
}  // namespace vl::testing
