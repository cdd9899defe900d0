// The upgrade of a running system from package files left in its folders on flash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "packages/install.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

PackageSource app(const char* version, std::uint32_t buildTime = 1700000000) {
  PackageSource p =
      testPackage("app", version, {{"bin/app", 0100755, std::string("app ") + version}});
  p.buildTime = buildTime;
  p.dependencies = {Relation{"lib", 0, 0, 0}};
  return p;
}

PackageSource lib(std::uint32_t buildTime = 1700000000) {
  PackageSource p = testPackage("lib", "6.49", {{"lib/lib.so", 0100644, "lib"}});
  p.buildTime = buildTime;
  return p;
}

class Upgrade : public InstallFixture {
 protected:
  bool upgrade(bool flagged = false) {
    planner = std::make_unique<Planner>(*repository, board, flagged);
    const bool done = upgradeFromFolders(*planner, journal, kSituationUpgrade);
    journal.commit(std::string(), false);
    journal.clear();
    return done;
  }
};

TEST_F(Upgrade, NewestReleaseOfEachPackageInDependencyOrder) {
  writeFile("/flash/var/pckg/app-6.49.vpk", buildFile(app("6.49")));
  writeFile("/flash/var/pckg/app-6.50.wpk", buildFile(app("6.50")));
  writeFile("/flash/var/pckg/lib.vpk", buildFile(lib()));
  writeFile("/flash/var/pckg/bad.vpk", "not a package");
  writeFile("/flash/var/pckg/.hidden.vpk", "ignored");
  writeFile("/flash/var/pckg/readme.txt", "ignored");
  openRepository();

  EXPECT_TRUE(upgrade());
  EXPECT_EQ(readFile("/flash/bin/app"), "app 6.50");
  EXPECT_EQ(readFile("/flash/lib/lib.so"), "lib");
  std::vector<std::string> installed;
  for (const auto& record : repository->packages) installed.push_back(record->name);
  EXPECT_EQ(installed, (std::vector<std::string>{"lib", "app"}));
  EXPECT_EQ(messages(), (std::vector<std::string>{
                            "ERROR: broken package bad.vpk",
                            "WARNING: omitting package app-6.49: newer package is already provided",
                            "installed lib-6.49", "installed app-6.50"}));
}

TEST_F(Upgrade, DowngradeMarkerSetsAMinimumAndPrefersTheOlderRelease) {
  writeFile("/flash/var/pckg/lib.vpk", buildFile(lib()));
  writeFile("/flash/var/pckg/app-6.50.vpk", buildFile(app("6.50")));
  openRepository();
  ASSERT_TRUE(upgrade());

  emptyDirectory("/flash/var/pckg");
  writeFile("/flash/var/pckg/app-6.47.vpk", buildFile(app("6.47")));
  writeFile("/flash/var/pckg/app-6.49.vpk", buildFile(app("6.49")));
  writeFile("/flash/var/pckg/app-6.50.vpk", buildFile(app("6.50")));
  writeFile("/ram/DOWNGRADE", std::to_string(parseVersion("6.48")) + "\n");
  openRepository();
  EXPECT_TRUE(upgrade());
  EXPECT_EQ(readFile("/flash/bin/app"), "app 6.49");
  EXPECT_EQ(messages(), (std::vector<std::string>{
                            "WARNING: ommitting package app-6.47: not allowed",
                            "WARNING: omitting package app-6.50: older package is already provided",
                            "installed app-6.49"}));
}

TEST_F(Upgrade, NothingInstalledOrAFailedCandidateFailsEverything) {
  EXPECT_FALSE(upgrade());
  EXPECT_EQ(messages(), std::vector<std::string>{"ERROR: router installation failed!!!"});
  writeFile("/flash/var/pckg/lib.vpk", buildFile(lib()));
  writeFile("/flash/var/pckg/app.vpk", buildFile(app("6.50"), SignatureForm::SchemeOne));
  openRepository();
  const auto before = snapshot();
  EXPECT_FALSE(upgrade());
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(lastMessage(), "ERROR: installation of app-6.50 failed: broken package");
}

// The file of a release already installed was not verified: it is discarded, and the
// installed release keeps its image.
TEST_F(Upgrade, KeptImageIsPutInPlaceOnlyForAVerifiedInstall) {
  PackageSource kernel = testPackage("kernel", "6.49", {{"boot/vmlinux", 0100644, "k"}});
  kernel.image = Bytes(64, 0x11);
  const Bytes file = buildFile(kernel);
  writeFile("/flash/var/pckg/kernel.vpk", file);
  openRepository();
  EXPECT_TRUE(upgrade());
  EXPECT_EQ(readFile("/flash/var/pdb/kernel/image"), std::string(file.begin(), file.end()));
  EXPECT_FALSE(exists("/flash/var/pckg/kernel.vpk"));

  kernel.conflicts = {Relation{"other", 0, 0, 0}};
  writeFile("/flash/var/pckg/kernel.vpk", buildFile(kernel, SignatureForm::None));
  openRepository();
  EXPECT_TRUE(upgrade());
  EXPECT_EQ(readFile("/flash/var/pdb/kernel/image"), std::string(file.begin(), file.end()));
  EXPECT_FALSE(exists("/flash/var/pckg/kernel.vpk"));
}

}  // namespace
}  // namespace vl::testing
