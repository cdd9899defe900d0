#include <gtest/gtest.h>
#include <sys/stat.h>

#include "packages/install.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

BundleSource suite(std::optional<std::vector<Relation>> choices) {
  BundleSource b;
  b.header = package("suite", "6.49");
  b.header.hasFiles = false;
  b.choices = std::move(choices);
  b.members = {package("core", "6.49", {{"bin/core", 0100755, "core"}}),
               package("extra", "6.49", {{"bin/extra", 0100755, "extra"}})};
  return b;
}

using Bundle = InstallFixture;

TEST_F(Bundle, ChoiceListMemberNotChosenInstallsDisabled) {
  ASSERT_EQ(install(buildBundle(suite(std::vector<Relation>{{"extra", 0, 0, 0}}))), kInstalled);

  EXPECT_EQ(readFile("/flash/bin/core"), "core");
  EXPECT_EQ(readFile("/flash/x/extra/bin/extra"), "extra");
  EXPECT_FALSE(exists("/flash/bin/extra"));
  EXPECT_EQ(readFile("/flash/var/pdb/extra/disabled"), "auto\n");
  EXPECT_EQ(readFile("/flash/var/pdb/extra/bundle"), "suite\n");
  EXPECT_EQ(readFile("/flash/var/pdb/core/bundle"), "suite\n");
  EXPECT_FALSE(exists("/flash/var/pdb/core/disabled"));
  EXPECT_EQ(readFile("/flash/var/pdb/suite/version"),
            std::to_string(ver("6.49")) + " 1700000000\n");
  EXPECT_FALSE(exists("/flash/var/pdb/suite/files"));  // a bundle owns no files
  EXPECT_EQ(lastMessage(), "installed suite-6.49");
}

TEST_F(Bundle, ChoiceListMemberChosenByTheUserFollowsTheChoice) {
  UserChoices choices;
  choices["extra"] = UserChoice{"extra", false};
  ASSERT_EQ(install(buildBundle(suite(std::vector<Relation>{{"extra", 0, 0, 0}})), choices),
            kInstalled);
  EXPECT_EQ(readFile("/flash/bin/extra"), "extra");
  EXPECT_EQ(readFile("/flash/var/pdb/extra/enabled"), "user\n");
}

TEST_F(Bundle, ReinstallRemovesMembersThatLeftTheBundle) {
  ASSERT_EQ(install(buildBundle(suite(std::nullopt))), kInstalled);
  openRepository();
  BundleSource next = suite(std::nullopt);
  next.header.version = ver("6.50");
  next.members = {package("core", "6.50", {{"bin/core", 0100755, "core 2"}})};
  ASSERT_EQ(install(buildBundle(next)), kInstalled);
  EXPECT_EQ(readFile("/flash/bin/core"), "core 2");
  EXPECT_FALSE(exists("/flash/bin/extra"));
  EXPECT_FALSE(exists("/flash/var/pdb/extra"));
  EXPECT_EQ(lastMessage(), "installed suite-6.50");
}

TEST_F(Bundle, BrokenMemberFailsTheBundle) {
  BundleSource b = suite(std::nullopt);
  b.members[1].files = {{"../escape", 0100644, "x"}};
  const auto before = snapshot();
  EXPECT_EQ(install(buildBundle(b)), kInstallRefused);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(lastMessage(), "ERROR: installation of suite-6.49 failed: broken package");
}

TEST_F(Bundle, MemberNamedLikeItsBundleRefusesTheBundle) {
  BundleSource b = suite(std::nullopt);
  b.members[1] = package("suite", "6.49", {{"bin/s", 0100755, "s"}});
  const auto before = snapshot();
  EXPECT_EQ(install(buildBundle(b)), kInstallRefused);
  EXPECT_EQ(snapshot(), before);
}

TEST_F(Bundle, BundleWithRelationsOfItsOwnFails) {
  BundleSource b = suite(std::nullopt);
  b.header.dependencies = {Relation{"core", 0, 0, 0}};
  EXPECT_EQ(install(buildBundle(b)), kInstallFailed);
}

}  // namespace
}  // namespace vl::testing
