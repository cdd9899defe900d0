#include <gtest/gtest.h>

#include "packages/planner.h"
#include "tests/planner/planner_fixture.h"

namespace vl::testing {
namespace {

struct Board {
  const char* minVersion = nullptr;
  bool flag1000 = false;
  bool largeEraseBlocks = false;
};

struct CheckCase {
  const char* what;
  std::vector<Rec> installed;
  Rec offered;
  std::uint32_t allowed;
  std::uint32_t expectedBits;
  std::string expectedConsole;  // byte for byte
  Board board = {};
  bool flagged = false;
  const char* architecture = nullptr;  // of the offered package; none: empty
};

class CheckInstallable : public PlannerFixture, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckInstallable, GivesTheSituationAndReportsTheFirstProblemOnce) {
  const CheckCase& c = GetParam();
  add(c.installed);
  board.minVersion = c.board.minVersion == nullptr ? 0 : v(c.board.minVersion);
  board.flag1000 = c.board.flag1000;
  board.largeEraseBlocks = c.board.largeEraseBlocks;
  std::unique_ptr<Package> offered = makeRecord(c.offered);
  if (c.architecture != nullptr) offered->architecture = c.architecture;

  const std::string before = states();
  EXPECT_EQ(planner(c.flagged).checkInstallable(*offered, c.allowed), c.expectedBits);
  EXPECT_EQ(console(), c.expectedConsole);
  EXPECT_EQ(states(), before);  // a check changes nothing
}

const CheckCase kChecks[] = {
    {"fresh install", {}, {.name = "a"}, 1, 0, ""},
    {"same release again",
     {{.name = "a"}},
     {.name = "a"},
     1,
     32,
     "WARNING: omitting package a-1.0: it is already installed\n"},
    {"same release again, allowed", {{.name = "a"}}, {.name = "a"}, 1 | 32, 32, ""},
    {"downgrade",
     {{.name = "a", .version = "6.49.10"}},
     {.name = "a", .version = "6.49.9"},
     1,
     2,
     "WARNING: omitting package a-6.49.9: newer package a-6.49.10 is already installed\n"},
    {"same release built later is an upgrade",
     {{.name = "a", .buildTime = 5}},
     {.name = "a", .buildTime = 6},
     1,
     1,
     ""},
    {"upgrade not allowed, downgrade allowed",
     {{.name = "a", .version = "1.0"}},
     {.name = "a", .version = "2.0"},
     2,
     1,
     "WARNING: omitting package a-2.0: older package is already installed\n"},
    {"upgrade with nothing allowed is silent",
     {{.name = "a", .version = "1.0"}},
     {.name = "a", .version = "2.0"},
     0,
     1,
     ""},
    {"branding replaces without comparing",
     {{.name = "branding", .version = "2.0"}},
     {.name = "branding", .version = "1.0"},
     1,
     0,
     ""},
    {"flagged state refuses an older build",
     {{.name = "a", .version = "1.0", .buildTime = 200}},
     {.name = "a", .version = "2.0", .buildTime = 100},
     1,
     1 | 8 | 16,
     "WARNING: cannot install older a-2.0: router in flagged state\n",
     {},
     true},
    {"flagged state: the release check adds its bit silently",
     {{.name = "a", .version = "2.0", .buildTime = 200}},
     {.name = "a", .version = "1.0", .buildTime = 100},
     0,
     2 | 8 | 16,
     "WARNING: cannot install older a-1.0: router in flagged state\n",
     {},
     true},
    {"flagged state, later build",
     {{.name = "a", .buildTime = 100}},
     {.name = "a", .version = "2.0", .buildTime = 200},
     1,
     1,
     "",
     {},
     true},
    {"system below the board's minimum",
     {},
     {.name = "system", .version = "6.40"},
     1,
     8,
     "ERROR: omitting package system-6.40: min Pellorin version is 6.45rc2\n",
     {.minVersion = "6.45rc2"}},
    {"system at the board's minimum",
     {},
     {.name = "system", .version = "6.45"},
     1,
     0,
     "",
     {.minVersion = "6.45"}},
    {"system before the current file system",
     {},
     {.name = "system", .version = "2.9rc7"},
     1,
     8,
     "WARNING: omitting package system-2.9rc7: it does not support current file system\n"},
    {"pellorin package before the current flash driver",
     {},
     {.name = "pellorin-base", .version = "5.12"},
     1,
     8,
     "ERROR: omitting package pellorin-base-5.12: it does not support current Quorrelin\n",
     {.flag1000 = true}},
    {"flash driver check needs the board flag",
     {},
     {.name = "pellorin", .version = "5.12"},
     1,
     0,
     ""},
    {"pellorin package from the new flash driver on",
     {},
     {.name = "pellorinx", .version = "5.13rc1"},
     1,
     0,
     "",
     {.flag1000 = true}},
    {"system before large erase blocks",
     {},
     {.name = "system", .version = "3.20rc1"},
     1,
     8,
     "WARNING: omitting package system-3.20rc1: it does not support current file system\n",
     {.largeEraseBlocks = true}},
    {"system from large erase blocks on",
     {},
     {.name = "system", .version = "3.20rc2"},
     1,
     0,
     "",
     {.largeEraseBlocks = true}},
    {"board checks only for the system packages",
     {},
     {.name = "systemd", .version = "1.0"},
     1,
     0,
     "",
     {.minVersion = "9.0", .flag1000 = true, .largeEraseBlocks = true}},
    {"board checks reported once, first failing check",
     {},
     {.name = "system", .version = "2.0"},
     1,
     8,
     "ERROR: omitting package system-2.0: min Pellorin version is 6.0\n",
     {.minVersion = "6.0", .flag1000 = true, .largeEraseBlocks = true}},
    {"board checks silent when allowed",
     {},
     {.name = "system", .version = "2.0"},
     1 | 8,
     8,
     "",
     {.minVersion = "6.0"}},
    {"wrong architecture",
     {},
     {.name = "a"},
     1,
     8,
     "ERROR: can not install a-1.0: it is not made for mips, but for smips\n",
     {},
     false,
     "smips"},
    {"right architecture", {}, {.name = "a"}, 1, 0, "", {}, false, "mips"},
    {"dependency only disabled is missing",
     {{.name = "lib", .version = "2.0", .disabled = true}},
     {.name = "a", .deps = {rel("lib", v("2.0"))}},
     1,
     8,
     "ERROR: can not install a-1.0: lib-2.0 is not installed, but is required\n"},
    {"dependency without minimum is named alone",
     {},
     {.name = "a", .deps = {rel("lib"), rel("other")}},
     1,
     8,
     "ERROR: can not install a-1.0: lib is not installed, but is required\n"},
    {"dependency provided by an enabled package",
     {{.name = "alt", .provides = {rel("lib", v("2.0"))}}},
     {.name = "a", .deps = {rel("lib", v("2.0"))}},
     1,
     0,
     ""},
    {"conflict with an enabled package",
     {{.name = "b", .disabled = true, .conflicts = {rel("a")}},
      {.name = "c", .conflicts = {rel("a")}}},
     {.name = "a"},
     1,
     16,
     "ERROR: can not install a-1.0: it conflicts with c-1.0\n"},
    {"conflict allowed is silent",
     {{.name = "c", .conflicts = {rel("a")}}},
     {.name = "a"},
     1 | 16,
     16,
     ""},
    {"only the first problem is reported",
     {},
     {.name = "a", .deps = {rel("lib")}},
     1,
     8,
     "ERROR: can not install a-1.0: it is not made for mips, but for i386\n",
     {},
     false,
     "i386"},
    {"an allowed upgrade does not hide a missing dependency",
     {{.name = "a", .version = "1.0"}},
     {.name = "a", .version = "2.0", .deps = {rel("lib")}},
     1,
     1 | 8,
     "ERROR: can not install a-2.0: lib is not installed, but is required\n"},
    {"a refused downgrade hides a later conflict",
     {{.name = "a", .version = "2.0"}, {.name = "c", .conflicts = {rel("a")}}},
     {.name = "a", .version = "1.0"},
     1,
     2 | 16,
     "WARNING: omitting package a-1.0: newer package a-2.0 is already installed\n"},
};

INSTANTIATE_TEST_SUITE_P(Planner, CheckInstallable, ::testing::ValuesIn(kChecks));

TEST_F(PlannerFixture, BoardIsAskedOnlyForSystemPackages) {
  std::unique_ptr<Package> app = makeRecord({.name = "app"});
  (void)planner().checkInstallable(*app, 1);
  EXPECT_EQ(board.asked, 0);
  std::unique_ptr<Package> system = makeRecord({.name = "system", .version = "6.49"});
  (void)planner().checkInstallable(*system, 1);
  EXPECT_GT(board.asked, 0);
}

}  // namespace
}  // namespace vl::testing
