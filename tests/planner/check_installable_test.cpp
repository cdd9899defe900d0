#include <gtest/gtest.h>

#include "packages/planner.h"
#include "tests/planner/planner_fixture.h"

namespace vl::testing {
namespace {

constexpr std::uint32_t kUpgrade = kSituationUpgrade;
constexpr std::uint32_t kDowngrade = kSituationDowngrade;
constexpr std::uint32_t kUnusable = kSituationUnusable;
constexpr std::uint32_t kConflict = kSituationConflict;
constexpr std::uint32_t kSame = kSituationSameRelease;

struct CheckCase {
  const char* what;
  std::vector<Rec> installed;
  Rec offered;
  std::uint32_t allowed;
  std::uint32_t expectedBits;
  const char* expectedMessage;  // nullptr: none
  BoardAnswers board = {};
  bool flagged = false;
  const char* architecture = nullptr;  // of the offered package; none: empty
};

class CheckInstallable : public PlannerFixture, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckInstallable, GivesTheSituationAndReportsTheFirstProblemOnce) {
  const CheckCase& c = GetParam();
  add(c.installed);
  board.answers = c.board;
  std::unique_ptr<Package> offered = makeRecord(c.offered);
  if (c.architecture != nullptr) offered->architecture = c.architecture;

  const std::string before = states();
  EXPECT_EQ(planner(c.flagged).checkInstallable(*offered, c.allowed), c.expectedBits);
  EXPECT_EQ(messages(), c.expectedMessage == nullptr ? std::vector<std::string>{}
                                                     : std::vector<std::string>{c.expectedMessage});
  EXPECT_EQ(states(), before);  // a check changes nothing
}

// clang-format off
const CheckCase kChecks[] = {
    {"fresh install", {}, {.name = "a"}, kUpgrade, 0, nullptr},
    {"same release again", {{.name = "a"}}, {.name = "a"}, kUpgrade, kSame,
     "WARNING: omitting package a-1.0: it is already installed"},
    {"downgrade", {{.name = "a", .version = "6.49.10"}}, {.name = "a", .version = "6.49.9"},
     kUpgrade, kDowngrade,
     "WARNING: omitting package a-6.49.9: newer package a-6.49.10 is already installed"},
    {"same release built later is an upgrade", {{.name = "a", .buildTime = 5}},
     {.name = "a", .buildTime = 6}, kUpgrade, kUpgrade, nullptr},
    {"upgrade not allowed, downgrade allowed", {{.name = "a", .version = "1.0"}},
     {.name = "a", .version = "2.0"}, kDowngrade, kUpgrade,
     "WARNING: omitting package a-2.0: older package is already installed"},
    {"branding replaces without comparing", {{.name = "branding", .version = "2.0"}},
     {.name = "branding", .version = "1.0"}, kUpgrade, 0, nullptr},
    {"flagged state refuses an older build", {{.name = "a", .version = "1.0", .buildTime = 200}},
     {.name = "a", .version = "2.0", .buildTime = 100}, kUpgrade, kUpgrade | kUnusable | kConflict,
     "WARNING: cannot install older a-2.0: router in flagged state", {}, true},
    {"system below the board's minimum", {}, {.name = "system", .version = "6.40"}, kUpgrade,
     kUnusable, "ERROR: omitting package system-6.40: min Pellorin version is 6.45rc2",
     {.minVersion = 0x062D6302}},
    {"system at the board's minimum", {}, {.name = "system", .version = "6.45"}, kUpgrade, 0,
     nullptr, {.minVersion = 0x062D6600}},
    {"system before the current file system", {}, {.name = "system", .version = "2.9rc7"},
     kUpgrade, kUnusable,
     "WARNING: omitting package system-2.9rc7: it does not support current file system"},
    {"pellorin package before the current flash driver", {},
     {.name = "pellorin-base", .version = "5.12"}, kUpgrade, kUnusable,
     "ERROR: omitting package pellorin-base-5.12: it does not support current Quorrelin",
     {.flag1000 = true}},
    {"pellorin package from the new flash driver on", {},
     {.name = "pellorinx", .version = "5.13rc1"}, kUpgrade, 0, nullptr, {.flag1000 = true}},
    {"system before large erase blocks", {}, {.name = "system", .version = "3.20rc1"}, kUpgrade,
     kUnusable, "WARNING: omitting package system-3.20rc1: it does not support current file system",
     {.largeEraseBlocks = true}},
    {"system from large erase blocks on", {}, {.name = "system", .version = "3.20rc2"}, kUpgrade,
     0, nullptr, {.largeEraseBlocks = true}},
    {"board checks only for the system packages", {}, {.name = "systemd", .version = "1.0"},
     kUpgrade, 0, nullptr, {.minVersion = 0x09006600, .flag1000 = true, .largeEraseBlocks = true}},
    {"wrong architecture", {}, {.name = "a"}, kUpgrade, kUnusable,
     "ERROR: can not install a-1.0: it is not made for mips, but for smips", {}, false, "smips"},
    {"dependency only disabled is missing", {{.name = "lib", .version = "2.0", .disabled = true}},
     {.name = "a", .deps = {rel("lib", v("2.0"))}}, kUpgrade, kUnusable,
     "ERROR: can not install a-1.0: lib-2.0 is not installed, but is required"},
    {"conflict with an enabled package",
     {{.name = "b", .disabled = true, .conflicts = {rel("a")}},
      {.name = "c", .conflicts = {rel("a")}}},
     {.name = "a"}, kUpgrade, kConflict, "ERROR: can not install a-1.0: it conflicts with c-1.0"},
    {"an allowed upgrade does not hide a missing dependency", {{.name = "a", .version = "1.0"}},
     {.name = "a", .version = "2.0", .deps = {rel("lib")}}, kUpgrade, kUpgrade | kUnusable,
     "ERROR: can not install a-2.0: lib is not installed, but is required"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Planner, CheckInstallable, ::testing::ValuesIn(kChecks));

}  // namespace
}  // namespace vl::testing
