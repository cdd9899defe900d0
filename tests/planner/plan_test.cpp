#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include "packages/planner.h"
#include "tests/planner/planner_fixture.h"
#include "tests/support/files.h"

namespace vl::testing {
namespace {

constexpr PendingAction kNone = PendingAction::None;
constexpr PendingAction kUninstall = PendingAction::Uninstall;
constexpr PendingAction kEnable = PendingAction::Enable;
constexpr PendingAction kDisable = PendingAction::Disable;

struct PlanCase {
  const char* what;
  std::vector<Rec> records;
  int verbosity;
  bool expectedResult;         // what applyPendingActions returns
  std::string expectedStates;  // records left, "(off)" for disabled
  std::vector<std::string> expectedMessages;
  bool flagged = false;
};

class ApplyPendingActions : public PlannerFixture,
                            public ::testing::WithParamInterface<PlanCase> {};

TEST_P(ApplyPendingActions, CarriesOutAConsistentPlan) {
  const PlanCase& c = GetParam();
  add(c.records);
  EXPECT_EQ(planner(c.flagged).applyPendingActions(journal, c.verbosity), c.expectedResult);
  EXPECT_EQ(states(), c.expectedStates);
  EXPECT_EQ(messages(), c.expectedMessages);
  for (const auto& record : repository.packages) {
    EXPECT_EQ(record->pending, kNone) << record->name << " keeps a pending action";
  }
}

// clang-format off
const PlanCase kPlans[] = {
    {"nothing pending", {{.name = "a"}, {.name = "b", .disabled = true}}, 1, false, "a b(off)", {}},
    {"mutual conflict: the earlier record stays",
     {{.name = "a", .conflicts = {rel("b")}}, {.name = "b", .conflicts = {rel("a")}}}, 1, true,
     "a b(off)", {"disabled b-1.0"}},
    {"a one-sided conflict disables the other record",
     {{.name = "a"}, {.name = "b", .conflicts = {rel("a")}}}, 1, true, "a(off) b",
     {"disabled a-1.0"}},
    {"enabling a record disables what it conflicts with",
     {{.name = "a"}, {.name = "b", .disabled = true, .pending = kEnable, .conflicts = {rel("a")}}},
     1, true, "a(off) b", {"disabled a-1.0", "enabled b-1.0"}},
    {"two records to enable: the one conflicted with keeps disabled",
     {{.name = "base"}, {.name = "a", .disabled = true, .pending = kEnable},
      {.name = "b", .disabled = true, .pending = kEnable, .conflicts = {rel("a")}}},
     1, true, "base a(off) b",
     {"WARNING: can not enable a: b-1.0 conflicts with it", "enabled b-1.0"}},
    {"uninstalling every package is refused",
     {{.name = "a", .pending = kUninstall}, {.name = "b", .disabled = true, .pending = kUninstall}},
     1, false, "a b(off)", {"ERROR: can not uninstall or disable all packages"}},
    {"members of a bundle being uninstalled go with it",
     {{.name = "x"}, {.name = "bundle", .pending = kUninstall, .isBundle = true},
      {.name = "m1", .bundle = "bundle"}, {.name = "m2", .disabled = true, .bundle = "bundle"}},
     2, true, "x", {"uninstalled bundle-1.0", "uninstalled m1-1.0", "uninstalled m2-1.0"}},
    // Taken literally, the bundle rule uninstalls an enabled bundle that has no member left
    // enabled, so disabling a bundle removes it.
    {"a bundle being disabled takes its members along and is then uninstalled",
     {{.name = "x"}, {.name = "bundle", .pending = kDisable, .isBundle = true},
      {.name = "m1", .bundle = "bundle"},
      {.name = "m2", .pending = kUninstall, .bundle = "bundle"}},
     1, true, "x m1(off)", {"disabled m1-1.0"}},
    {"members follow their bundle's enable",
     {{.name = "bundle", .disabled = true, .pending = kEnable, .isBundle = true},
      {.name = "m1", .disabled = true, .bundle = "bundle"},
      {.name = "m2", .disabled = true, .bundle = "bundle"}},
     1, true, "bundle m1 m2", {"enabled m2-1.0", "enabled m1-1.0", "enabled bundle-1.0"}},
    {"a missing dependency uninstalls over several levels",
     {{.name = "b", .deps = {rel("c")}}, {.name = "c", .deps = {rel("d")}},
      {.name = "d", .deps = {rel("gone")}}, {.name = "base"}},
     2, true, "base", {"uninstalled b-1.0", "uninstalled c-1.0", "uninstalled d-1.0"}},
    {"a disabled dependency disables over several levels",
     {{.name = "base"}, {.name = "z", .deps = {rel("y")}}, {.name = "y", .deps = {rel("x")}},
      {.name = "x", .disabled = true, .pending = kUninstall}},
     1, true, "base z(off) y(off) x(off)",
     {"WARNING: can not uninstall x-1.0: y depends on it", "disabled z-1.0", "disabled y-1.0"}},
    {"enable order: each record after what it depends on, disabled dependencies pulled in",
     {{.name = "c", .disabled = true}, {.name = "b", .disabled = true, .deps = {rel("c")}},
      {.name = "a", .disabled = true, .pending = kEnable, .deps = {rel("b")}}},
     1, true, "c b a", {"enabled c-1.0", "enabled b-1.0", "enabled a-1.0"}},
    {"a dependency without candidates ends the holding of the rest",
     {{.name = "base"}, {.name = "r", .deps = {rel("gone"), rel("x")}},
      {.name = "x", .disabled = true}},
     1, true, "base x(off)", {}},
    {"of two releases to enable the older one is left out",
     {{.name = "base"}, {.name = "x", .version = "1.0", .disabled = true, .pending = kEnable},
      {.name = "x", .version = "2.0", .disabled = true, .pending = kEnable}},
     1, true, "base x(off) x", {"enabled x-2.0"}},
    {"a record to enable whose dependency stays disabled is not enabled",
     {{.name = "base"}, {.name = "a", .disabled = true, .pending = kEnable, .deps = {rel("x")}},
      {.name = "x", .disabled = true, .pending = kDisable}},
     1, true, "base a(off) x(off)",
     {"WARNING: can not disable x-1.0: a depends on it", "disabled a-1.0"}},
    {"flagged state enables only the latest build",
     {{.name = "base"}, {.name = "a", .buildTime = 100, .disabled = true, .pending = kEnable},
      {.name = "b", .buildTime = 200, .disabled = true, .pending = kEnable}},
     1, true, "base a(off) b", {"enabled b-1.0"}, true},
    {"a member named like its own bundle does not loop",
     {{.name = "loop", .disabled = true, .pending = kEnable, .bundle = "loop"}}, 1, true, "loop",
     {"enabled loop-1.0"}},
    {"two records naming each other as bundle do not loop",
     {{.name = "p", .disabled = true, .pending = kEnable, .bundle = "q"},
      {.name = "q", .disabled = true, .bundle = "p"}},
     1, true, "p q", {"enabled q-1.0", "enabled p-1.0"}},
    // Visiting each record only once would refuse this plan: lib is entered again once
    // ups's state has changed, and then enables it.
    {"a dependency held twice on its way is carried out",
     {{.name = "app", .deps = {rel("lib")}},
      {.name = "lib", .pending = kUninstall, .deps = {rel("ups")}},
      {.name = "ups", .disabled = true, .pending = kDisable}},
     1, true, "app lib ups",
     {"WARNING: can not uninstall lib-1.0: app depends on it",
      "WARNING: can not disable ups-1.0: lib depends on it", "enabled ups-1.0"}},
    {"a record created empty (a choice-list entry) is no placeholder: its conflict holds",
     {{.name = "a"}, {.name = "", .version = nullptr, .buildTime = 0, .conflicts = {rel("a")}}},
     1, true, "a(off) ", {"disabled a-1.0"}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Planner, ApplyPendingActions, ::testing::ValuesIn(kPlans));

TEST_F(PlannerFixture, DropOutdatedPackagesKeepsTheCurrentSystemOnly) {
  // clang-format off
  add({{.name = "system", .version = "6.49"}, {.name = "mobrey"}, {.name = "disk-drivers"},
       {.name = "old-app"}, {.name = "new-app", .deps = {rel("system", v("3.22"))}},
       {.name = "stale-app", .deps = {rel("system", v("3.21"))}},
       {.name = "bundle", .isBundle = true},
       {.name = "member", .deps = {rel("system", v("6.0"))}, .bundle = "bundle"},
       {.name = "leftover", .pending = kUninstall}});
  // clang-format on
  EXPECT_TRUE(planner().dropOutdatedPackages(journal));
  EXPECT_EQ(states(), "system mobrey disk-drivers new-app bundle member");
  EXPECT_TRUE(messages().empty());  // uninstalls need verbosity 2
}

// The marker lives in the sandbox's own /ram.
TEST(FlaggedState, FirstByteOfThePelmodeMarker) {
  struct statfs ram {};
  ASSERT_EQ(::statfs("/ram", &ram), 0);
  ASSERT_EQ(ram.f_type, TMPFS_MAGIC) << "/ram is no private tmpfs: run this test in its sandbox";
  EXPECT_FALSE(readFlaggedState());  // no marker
  const std::pair<std::string, bool> cases[] = {
      {"", false}, {std::string("\0\1", 2), false}, {"1", true}, {"\2", true}};
  for (const auto& [contents, expected] : cases) {
    writeFile("/ram/pelmode", contents);
    EXPECT_EQ(readFlaggedState(), expected) << contents.size();
  }
  removeTree("/ram/pelmode");
}

}  // namespace
}  // namespace vl::testing
