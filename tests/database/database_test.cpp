// The package database on a sandboxed /flash, /ram and /rw: loading hand-made and
// image-backed directories, the metadata written through the journal, and removal.
#include "packages/database.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/support/console.h"
#include "tests/support/files.h"
#include "tools/pellpkg/builder.h"

namespace vl {
namespace {

using pkgbuild::Bytes;
using pkgbuild::PackageSource;
using pkgbuild::SignatureForm;

using testing::readFile;
using testing::removeTree;
using testing::writeFile;

class Database : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* root :
         {"/flash/var", "/flash/bin", "/flash/x", "/flash/bootimage", "/ram/pdb", "/rw/pckg"}) {
      removeTree(root);
    }
    repo.reporter.setOutput(console_.fd());
    journal.setOutput(console_.fd(), console_.fd());
  }
  void TearDown() override { journal.abort(); }

  std::string output() { return console_.take(); }

  void commit() {
    journal.commit("", false);
    journal.clear();
  }

  testing::PipeConsole console_;  // before the repository, which writes to it
  Repository repo;
  ChangeJournal journal;
};

TEST_F(Database, LoadsHandMadeDirectories) {
  const std::string pdb = "/flash/var/pdb/";
  // Only a disabled file: no version, no files list.
  writeFile(pdb + "lonely/disabled", "auto\n");
  // A bundle member without the bundle's image.
  writeFile(pdb + "member/version", "100 200\n");
  writeFile(pdb + "member/bundle", "bigbundle\n");
  writeFile(pdb + "member/files", "bin/a\n");
  // Everything well formed; files with and without the leading "/".
  writeFile(pdb + "full/version", "117506560 1700000000\n");
  writeFile(pdb + "full/deps", "system 100 0\nwireless 0 200\n");
  writeFile(pdb + "full/provides", "ntp 1 2 -7\n");
  writeFile(pdb + "full/conflicts", "old 0 5\n");
  writeFile(pdb + "full/files", "bin/x\n/bin/x\n\netc/conf\n");
  writeFile(pdb + "full/enabled", "user\n");
  writeFile(pdb + "forced/version", "1 1\n");
  writeFile(pdb + "forced/files", "");
  writeFile(pdb + "forced/disabled", "user\n");
  // Malformed metadata: uninstall rather than fail.
  writeFile(pdb + "nonumbers/version", "1 1\n");
  writeFile(pdb + "nonumbers/files", "");
  writeFile(pdb + "nonumbers/deps", "system 1\n");
  writeFile(pdb + "negative/version", "-1 1\n");
  writeFile(pdb + "negative/files", "");
  writeFile(pdb + ".hidden/version", "1 1\n");
  // Schedules, looked up without the characters that are not letters, digits or "-".
  writeFile(pdb + "my_pkg/version", "1 1\n");
  writeFile(pdb + "my_pkg/files", "");
  writeFile("/ram/pdb/mypkg/schedule", "enable\n");
  writeFile(pdb + "gone/version", "1 1\n");
  writeFile(pdb + "gone/files", "");
  writeFile("/ram/pdb/gone/schedule", "uninstall now\n");
  writeFile(pdb + "holder/version", "4294967295 4294967295\n");
  writeFile("/ram/pdb/holder/schedule", "disable\n");

  repo.open(false, "mips");
  EXPECT_EQ(output(), "");
  EXPECT_EQ(repo.architecture, "mips");

  struct Expect {
    const char* name;
    Version version;
    bool isBundle, disabled, userForced;
    PendingAction pending;
    std::size_t files;
  };
  const Expect expected[] = {
      {"forced", 1, false, true, true, PendingAction::None, 0},
      {"full", 117506560, false, false, true, PendingAction::None, 2},
      {"gone", 1, false, false, false, PendingAction::Uninstall, 0},
      {"holder", 0xFFFFFFFF, true, false, false, PendingAction::None, 0},
      {"lonely", 0, true, true, false, PendingAction::Uninstall, 0},
      {"member", 100, false, false, false, PendingAction::Uninstall, 1},
      {"my_pkg", 1, false, false, true, PendingAction::Enable, 0},
      {"negative", 0, false, false, false, PendingAction::Uninstall, 0},
      {"nonumbers", 1, false, false, false, PendingAction::Uninstall, 0},
  };
  ASSERT_EQ(repo.packages.size(), std::size(expected));
  for (const Expect& e : expected) {
    const Package* p = repo.find(e.name);
    ASSERT_NE(p, nullptr) << e.name;
    EXPECT_EQ(p->version, e.version) << e.name;
    EXPECT_EQ(p->isBundle, e.isBundle) << e.name;
    EXPECT_EQ(p->disabled, e.disabled) << e.name;
    EXPECT_EQ(p->userForced, e.userForced) << e.name;
    EXPECT_EQ(p->pending, e.pending) << e.name;
    EXPECT_EQ(p->files.size(), e.files) << e.name;
  }
  const Package& full = *repo.find("full");
  EXPECT_EQ(full.buildTime, 1700000000u);
  EXPECT_EQ(full.dependencies,
            (std::vector<Relation>{{"system", 100, 0, 0}, {"wireless", 0, 200, 0}}));
  EXPECT_EQ(full.provides, (std::vector<Relation>{{"ntp", 1, 2, -7}}));
  EXPECT_EQ(full.conflicts, (std::vector<Relation>{{"old", 0, 5, 0}}));
  EXPECT_EQ(full.files, (std::set<std::string>{"/bin/x", "/etc/conf"}));
  EXPECT_EQ(repo.find("member")->bundleName, "bigbundle");
  EXPECT_EQ(repo.indexOf("forced"), 0);
  EXPECT_EQ(repo.indexOf(".hidden"), -1);
}

TEST_F(Database, LoadsImagesWithBundleMembersBeforeTheirBundle) {
  pkgbuild::BundleSource bundle;
  bundle.header.name = "suite";
  bundle.header.version = 0x07010000;
  bundle.header.buildTime = 5;
  bundle.header.image = Bytes(4, 0);
  PackageSource one, two;
  one.name = "one";
  one.version = 0x07010001;
  one.dependencies = {{"system", 1, 0, 0}};
  two.name = "two";
  two.version = 0x07010002;
  bundle.members = {one, two};
  writeFile("/flash/var/pdb/suite/image", *buildBundle(bundle, SignatureForm::None, nullptr));
  PackageSource imaged;
  imaged.name = "imaged";
  imaged.version = 0x06000000;
  imaged.note = "from the image";
  imaged.image = Bytes(1, 0);
  writeFile("/flash/var/pdb/imaged/image", *buildPackage(imaged, SignatureForm::None, nullptr));
  writeFile("/flash/var/pdb/imaged/version", "1 1\n");  // the image wins
  PackageSource kept = imaged;
  kept.name = "kept";
  writeFile("/rw/pckg/.images/kept.vpk", *buildPackage(kept, SignatureForm::None, nullptr));
  writeFile("/flash/var/pdb/kept/disabled", "auto\n");
  writeFile("/flash/var/pdb/plain/version", "3 4\n");
  writeFile("/flash/var/pdb/plain/files", "bin/p\n");

  repo.open(true, "mips");
  std::vector<std::string> names;
  for (const auto& p : repo.packages) names.push_back(p->name);
  // Images of /flash/var/pdb, then of /rw/pckg/.images, then directories without one.
  EXPECT_EQ(names, (std::vector<std::string>{"imaged", "one", "two", "suite", "kept", "plain"}));
  const Package& member = *repo.find("one");
  EXPECT_EQ(member.bundleName, "suite");
  EXPECT_EQ(member.bundleMinimum, 0x07010000u);
  EXPECT_EQ(member.bundleMaximum, 0x07010000u);
  EXPECT_EQ(member.dependencies, one.dependencies);
  EXPECT_EQ(member.displayName(), "suite-7.1");
  EXPECT_TRUE(repo.find("suite")->isBundle);
  EXPECT_EQ(repo.find("imaged")->version, 0x06000000u);
  EXPECT_EQ(repo.find("imaged")->note, "from the image");
  EXPECT_TRUE(repo.find("kept")->disabled);  // state from /flash/var/pdb/kept
}

TEST_F(Database, AMissingDatabaseWarnsAndLoadsNothing) {
  PackageSource x;
  x.name = "x";
  writeFile("/rw/pckg/.images/x.vpk", *buildPackage(x, SignatureForm::None, nullptr));
  repo.open(false, "mips");
  EXPECT_TRUE(repo.packages.empty());
  EXPECT_EQ(output(), "WARNING: could not open repo\n");
}

Package metaSample() {
  Package p;
  p.name = "pkg";
  p.version = 0x07010203;
  p.buildTime = 1700000001;
  p.dependencies = {{"system", 0x07000000, 0, 0}, {"lib", 1, 2, 0}};
  p.provides = {{"ntp", 0, 0, -1}};
  p.conflicts = {{"old", 0, 3, 0}};
  p.bundleName = "suite";
  p.files = {"/bin/b", "/bin/a", "/x/pkg/etc/c"};
  return p;
}

TEST_F(Database, WritesMetadataByteForByte) {
  Package p = metaSample();
  p.disabled = true;
  p.userForced = true;
  ASSERT_TRUE(repo.writePackageMeta(p, journal));
  commit();
  const std::string d = "/flash/var/pdb/pkg/";
  EXPECT_EQ(readFile(d + "version"), "117506563 1700000001\n");
  EXPECT_EQ(readFile(d + "deps"), "system 117440512 0\nlib 1 2\n");
  EXPECT_EQ(readFile(d + "provides"), "ntp 0 0 -1\n");
  EXPECT_EQ(readFile(d + "conflicts"), "old 0 3\n");
  EXPECT_EQ(readFile(d + "bundle"), "suite\n");
  EXPECT_EQ(readFile(d + "files"), "bin/a\nbin/b\nx/pkg/etc/c\n");
  EXPECT_EQ(readFile(d + "disabled"), "user\n");
  EXPECT_EQ(readFile(d + "enabled"), "<absent>");

  // Enabled by the user, no bundle, no lists: the old files go, an old provides stays.
  Package q = metaSample();
  q.bundleName.clear();
  q.provides.clear();
  q.conflicts.clear();
  q.dependencies.clear();
  q.userForced = true;
  ASSERT_TRUE(repo.writePackageMeta(q, journal));
  commit();
  EXPECT_EQ(readFile(d + "deps"), "");
  EXPECT_EQ(readFile(d + "provides"), "ntp 0 0 -1\n");
  EXPECT_EQ(readFile(d + "conflicts"), "old 0 3\n");
  EXPECT_EQ(readFile(d + "bundle"), "<absent>");
  EXPECT_EQ(readFile(d + "disabled"), "<absent>");
  EXPECT_EQ(readFile(d + "enabled"), "user\n");
  EXPECT_EQ(output(), "");
}

TEST_F(Database, PackagesWithImagesOrNoMetadataFlagGetOnlyStateFiles) {
  Package withImage = metaSample();
  withImage.hasImage = true;
  withImage.disabled = true;
  Package flagged = metaSample();
  flagged.name = "flagged";
  flagged.flags = kFlagNoMetadata;
  ASSERT_TRUE(repo.writePackageMeta(withImage, journal));
  ASSERT_TRUE(repo.writePackageMeta(flagged, journal));
  commit();
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/version"), "<absent>");
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/disabled"), "auto\n");
  EXPECT_EQ(readFile("/flash/var/pdb/flagged/version"), "<absent>");
  EXPECT_EQ(readFile("/flash/var/pdb/flagged/files"), "<absent>");
}

TEST_F(Database, RemovingAPackageRemovesTheFilesItsInstallRecorded) {
  Package p = metaSample();
  p.bundleName.clear();
  p.files.clear();
  for (const char* target : {"/flash/bin/tool", "/flash/x/pkg/etc/conf"}) {
    FdStream out = journal.stageFile(target, 4, 0755);
    ASSERT_EQ(out.write("data", 4), 4);
    ASSERT_TRUE(out.close());
    p.files.insert(ownedPath(target));
  }
  ASSERT_TRUE(repo.writePackageMeta(p, journal));
  commit();
  ASSERT_EQ(readFile("/flash/bin/tool"), "data");

  repo.open(true, "mips");
  ASSERT_EQ(repo.packages.size(), 1u);
  repo.removePackage(*repo.packages[0], journal);
  commit();
  EXPECT_EQ(readFile("/flash/bin/tool"), "<absent>");
  EXPECT_EQ(readFile("/flash/x/pkg/etc/conf"), "<absent>");
  struct stat st {};
  EXPECT_NE(stat("/flash/var/pdb/pkg", &st), 0);
}

TEST_F(Database, RemovalTakesTheBootImageOnlyWhenNothingElseLinksIt) {
  Package p;
  p.name = "boot";
  p.flags = kFlagBootImage;
  writeFile(kBootImagePath, "kernel");
  createParentDirectories("/flash/var/pdb/boot/image");
  ASSERT_EQ(symlink(kBootImagePath, "/flash/var/pdb/boot/image"), 0);
  repo.removePackage(p, journal);
  EXPECT_NE(journal.find(kBootImagePath), nullptr);
  journal.clear();
  ASSERT_EQ(link(kBootImagePath, "/flash/second-name"), 0);
  repo.removePackage(p, journal);
  EXPECT_EQ(journal.find(kBootImagePath), nullptr);
  EXPECT_NE(journal.find("/flash/var/pdb/boot/image"), nullptr);
  (void)unlink("/flash/second-name");
}

TEST_F(Database, MarkingChangesOnlyTheStateFiles) {
  Package p = metaSample();
  p.userForced = true;
  ASSERT_TRUE(repo.markDisabled(p, journal));
  commit();
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/disabled"), "user\n");
  p.pending = PendingAction::Disable;
  writeFile("/flash/var/pdb/pkg/enabled", "user\n");
  p.userForced = false;
  ASSERT_TRUE(repo.markDisabled(p, journal));
  commit();
  EXPECT_TRUE(p.disabled);
  EXPECT_EQ(p.pending, PendingAction::None);
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/disabled"), "auto\n");
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/enabled"), "<absent>");
  p.userForced = true;
  p.pending = PendingAction::Enable;
  ASSERT_TRUE(repo.markEnabled(p, journal));
  commit();
  EXPECT_FALSE(p.disabled);
  EXPECT_EQ(p.pending, PendingAction::None);
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/disabled"), "<absent>");
  EXPECT_EQ(readFile("/flash/var/pdb/pkg/enabled"), "user\n");
}

TEST_F(Database, AFailedMetadataWriteIsReportedWithTheFileName) {
  Package p = metaSample();
  for (int i = 0; i < 20; ++i) p.files.insert("/bin/file-" + std::to_string(i));
  // Files may grow to 100 bytes: every metadata file fits but the files list.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  const struct rlimit small { 100, saved.rlim_max };
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = repo.writePackageMeta(p, journal);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  const std::string expected =
      "ERROR: installation of suite failed: could not create meta/files: File too large";
  ASSERT_EQ(repo.reporter.messages().size(), 1u);
  EXPECT_EQ(repo.reporter.messages()[0], expected);
  EXPECT_EQ(output(), expected + "\n");
}

}  // namespace
}  // namespace vl
