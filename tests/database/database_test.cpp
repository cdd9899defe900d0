// The package database on a sandboxed /flash, /ram and /rw: loading hand-made and
// image-backed directories, the metadata written through the journal, and removal.
#include "packages/database.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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
using testing::writeFile;

class Database : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* root : {"/flash", "/ram", "/rw"}) testing::emptyDirectory(root);
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
  // Malformed metadata means uninstall rather than fail; schedules are looked up without
  // the characters that are not letters, digits or "-"; files with or without the "/".
  // path=text|... below /flash/var/pdb unless absolute; each ";" stands for a line end.
  std::string tree =
      "lonely/disabled=auto;|member/version=100 200;|member/bundle=bigbundle;|"
      "member/files=bin/a;|full/version=117506560 1700000000;|"
      "full/deps=system 100 0;wireless 0 200;|full/provides=ntp 1 2 -7;|"
      "full/conflicts=old 0 5;|full/files=bin/x;/bin/x;;etc/conf;|full/enabled=user;|"
      "forced/version=1 1;|forced/files=|forced/disabled=user;|nonumbers/version=1 1;|"
      "nonumbers/files=|nonumbers/deps=system 1;|negative/version=-1 1;|negative/files=|"
      ".hidden/version=1 1;|my_pkg/version=1 1;|my_pkg/files=|gone/version=1 1;|gone/files=|"
      "holder/version=4294967295 4294967295;|/ram/pdb/mypkg/schedule=enable;|"
      "/ram/pdb/gone/schedule=uninstall now;|/ram/pdb/holder/schedule=disable;|";
  std::replace(tree.begin(), tree.end(), ';', '\n');
  for (std::size_t at = 0, bar; (bar = tree.find('|', at)) != std::string::npos; at = bar + 1) {
    const std::size_t equals = tree.find('=', at);
    writeFile((tree[at] == '/' ? "" : "/flash/var/pdb/") + tree.substr(at, equals - at),
              tree.substr(equals + 1, bar - equals - 1));
  }

  repo.open(false, "mips");
  EXPECT_EQ(output(), "");
  // name version bundle? disabled? user-forced? pending files, bundle name
  std::vector<std::string> loaded;
  for (const auto& p : repo.packages) {
    loaded.push_back(p->name + " " + std::to_string(p->version) + " " +
                     std::to_string(p->isBundle) + std::to_string(p->disabled) +
                     std::to_string(p->userForced) + " " + actionName(p->pending) + " " +
                     std::to_string(p->files.size()) + p->bundleName);
  }
  std::sort(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, (std::vector<std::string>{
                        "forced 1 011  0", "full 117506560 001  2", "gone 1 000 uninstall 0",
                        "holder 4294967295 100  0", "lonely 0 110 uninstall 0",
                        "member 100 000 uninstall 1bigbundle", "my_pkg 1 001 enable 0",
                        "negative 0 000 uninstall 0", "nonumbers 1 000 uninstall 0"}));
  const Package& full = *repo.find("full");
  EXPECT_EQ(full.dependencies,
            (std::vector<Relation>{{"system", 100, 0, 0}, {"wireless", 0, 200, 0}}));
  EXPECT_EQ(full.provides, (std::vector<Relation>{{"ntp", 1, 2, -7}}));
  EXPECT_EQ(full.files, (std::set<std::string>{"/bin/x", "/etc/conf"}));
}

TEST_F(Database, LoadsImagesWithBundleMembersBeforeTheirBundle) {
  pkgbuild::BundleSource bundle;
  bundle.header.name = "suite";
  bundle.header.version = 0x07010000;
  bundle.header.image = Bytes(4, 0);
  bundle.members.resize(2);
  PackageSource& one = bundle.members[0];
  one.name = "one";
  one.version = 0x07010001;
  one.dependencies = {{"system", 1, 0, 0}};
  bundle.members[1].name = "two";
  writeFile("/flash/var/pdb/suite/image", *buildBundle(bundle, SignatureForm::None, nullptr));
  PackageSource imaged;
  imaged.name = "imaged";
  imaged.version = 0x06000000;
  imaged.image = Bytes(1, 0);
  writeFile("/flash/var/pdb/imaged/image", *buildPackage(imaged, SignatureForm::None, nullptr));
  writeFile("/flash/var/pdb/imaged/version", "1 1\n");  // the image wins
  imaged.name = "kept";
  writeFile("/rw/pckg/.images/kept.vpk", *buildPackage(imaged, SignatureForm::None, nullptr));
  writeFile("/flash/var/pdb/kept/disabled", "auto\n");
  writeFile("/flash/var/pdb/plain/version", "3 4\n");

  repo.open(true, "mips");
  std::vector<std::string> names;
  for (const auto& p : repo.packages) names.push_back(p->name);
  // Images of /flash/var/pdb, then of /rw/pckg/.images, then directories without one.
  EXPECT_EQ(names, (std::vector<std::string>{"imaged", "one", "two", "suite", "kept", "plain"}));
  const Package& member = *repo.find("one");
  EXPECT_EQ(member.bundleMinimum, 0x07010000u);
  EXPECT_EQ(member.dependencies, one.dependencies);
  EXPECT_EQ(member.displayName(), "suite-7.1");
  EXPECT_EQ(repo.find("imaged")->version, 0x06000000u);
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
  p.dependencies = {{"system", 0x07000000, 0, 0}, {"lib", 1, 2, 0}};
  p.conflicts = {{"old", 0, 3, 0}};
  p.bundleName = "suite";
  p.files = {"/bin/b", "/bin/a", "/x/pkg/etc/c"};
  return p;
}

const std::string kMeta = "/flash/var/pdb/pkg/";

TEST_F(Database, WritesMetadataByteForByte) {
  Package p = metaSample();
  p.disabled = true;
  ASSERT_TRUE(repo.writePackageMeta(p, journal));
  commit();
  EXPECT_EQ(readFile(kMeta + "deps"), "system 117440512 0\nlib 1 2\n");
  EXPECT_EQ(readFile(kMeta + "conflicts"), "old 0 3\n");
  EXPECT_EQ(readFile(kMeta + "bundle"), "suite\n");
  EXPECT_EQ(readFile(kMeta + "files"), "bin/a\nbin/b\nx/pkg/etc/c\n");
  EXPECT_EQ(readFile(kMeta + "disabled"), "auto\n");

  // A package with its image keeps only its state files.
  p.hasImage = true;
  testing::removeTree("/flash/var/pdb");
  ASSERT_TRUE(repo.writePackageMeta(p, journal));
  commit();
  EXPECT_EQ(readFile(kMeta + "version"), "<absent>");
  EXPECT_EQ(readFile(kMeta + "disabled"), "auto\n");
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
}

TEST_F(Database, MarkingChangesOnlyTheStateFiles) {
  Package p = metaSample();
  for (const bool forced : {true, false}) {
    p.userForced = forced;
    p.pending = PendingAction::Disable;
    writeFile(kMeta + "enabled", "user\n");
    ASSERT_TRUE(repo.markDisabled(p, journal));
    commit();
    EXPECT_TRUE(p.disabled);
    EXPECT_EQ(p.pending, PendingAction::None);
    EXPECT_EQ(readFile(kMeta + "disabled"), forced ? "user\n" : "auto\n");
    EXPECT_EQ(readFile(kMeta + "enabled"), "<absent>");
  }
  p.userForced = true;
  ASSERT_TRUE(repo.markEnabled(p, journal));
  commit();
  EXPECT_EQ(readFile(kMeta + "disabled"), "<absent>");
  EXPECT_EQ(readFile(kMeta + "enabled"), "user\n");
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
  EXPECT_EQ(output(),
            "ERROR: installation of suite failed: could not create meta/files: File too large\n");
}

}  // namespace
}  // namespace vl
