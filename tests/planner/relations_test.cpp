#include <gtest/gtest.h>

#include "packages/planner.h"
#include "tests/planner/planner_fixture.h"

namespace vl::testing {
namespace {

PackageInfo info(const Rec& row) { return static_cast<PackageInfo&>(*makeRecord(row)); }

PackageInfo placeholder(std::string name) {
  PackageInfo p;
  p.name = std::move(name);
  p.version = 0xFFFFFFFF;
  p.buildTime = 0xFFFFFFFF;
  p.provides = {rel("x")};
  p.conflicts = {rel("a")};
  return p;
}

// Bounds are inclusive, zero means none; a placeholder takes part in no relation.
TEST(Relations, BoundsAndPlaceholders) {
  const PackageInfo a = info({.name = "a", .version = "6.49"});
  EXPECT_TRUE(satisfies(a, rel("a", v("6.49"), v("6.49"))));
  EXPECT_FALSE(satisfies(a, rel("a", v("6.49.1"))));
  EXPECT_FALSE(satisfies(a, rel("a", 0, v("6.48"))));
  EXPECT_TRUE(overlaps(rel("x", v("2.0")), rel("x", 0, v("2.0"))));
  EXPECT_TRUE(overlaps(rel("x", 0, v("1.0")), rel("x", v("1.0"))));
  EXPECT_FALSE(overlaps(rel("x", v("2.0")), rel("x", 0, v("1.0"))));
  const PackageInfo p = placeholder("b");
  const PackageInfo q = info({.name = "q", .deps = {rel("x")}, .conflicts = {rel("b")}});
  EXPECT_FALSE(satisfies(p, rel("b")));
  EXPECT_FALSE(conflicts(q, p));
  EXPECT_FALSE(conflicts(p, q));
  EXPECT_FALSE(providesFor(p, rel("x")));
  EXPECT_FALSE(dependsOn(q, p));
  EXPECT_FALSE(hasOrContains(p, "b"));
  EXPECT_EQ(compare(p, info({.name = "b"})), 0);
}

// Each row picks out one of the conflict rules, in the order they are tried.
TEST(Conflicts, FirstApplicableRuleDecides) {
  const struct {
    const char* what;
    Rec a, b;
    bool expected;
  } cases[] = {
      // clang-format off
      {"unrelated", {.name = "a"}, {.name = "b"}, false},
      {"conflicts entry satisfied", {.name = "a", .conflicts = {rel("b")}}, {.name = "b"}, true},
      {"conflicts entry wins over b's positive provides", {.name = "a", .conflicts = {rel("b")}},
       {.name = "b", .provides = {rel("a", 0, 0, 5)}}, true},
      {"b provides a's name with negative priority", {.name = "a"},
       {.name = "b", .provides = {rel("a", 0, 0, -1)}}, true},
      {"b provides a's name with priority 0 ends the search",
       {.name = "a", .provides = {rel("b", 0, 0, 7)}, .conflicts = {rel("c")}},
       {.name = "b", .provides = {rel("a", 0, 0, 0), rel("c")}}, false},
      {"a provides b, priority 0", {.name = "a", .provides = {rel("b")}}, {.name = "b"}, true},
      {"a provides b's name, negative priority",
       {.name = "a", .provides = {rel("b", 0, 0, -1)}, .conflicts = {rel("c")}},
       {.name = "b", .provides = {rel("c")}}, false},
      {"shared provided name, b lower", {.name = "a", .provides = {rel("x", 0, 0, 5)}},
       {.name = "b", .provides = {rel("x", 0, 0, 3)}}, true},
      {"shared provided name, b higher", {.name = "a", .provides = {rel("x", 0, 0, 3)}},
       {.name = "b", .provides = {rel("x", 0, 0, 5)}}, false},
      {"first matching a entry decides",
       {.name = "a", .provides = {rel("y", 0, 0, 1), rel("x", 0, 0, 9)}},
       {.name = "b", .provides = {rel("x", 0, 0, 0), rel("y", 0, 0, 2)}}, false},
      {"conflicts entry provided for", {.name = "a", .conflicts = {rel("x")}},
       {.name = "b", .provides = {rel("x", v("1.0"), v("2.0"))}}, true},
      {"b has a member named a", {.name = "a"}, {.name = "b", .members = {"a"}}, true},
      {"a member of a conflicts with b", {.name = "a", .members = {"m"}},
       {.name = "b", .provides = {rel("m", 0, 0, -1)}}, true},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(conflicts(info(c.a), info(c.b)), c.expected);
  }
}

TEST(Compare, SameNameByVersionThenBuildTimeAndThroughMembers) {
  const struct {
    const char* what;
    Rec a, b;
    int expected;
  } cases[] = {
      // clang-format off
      {"lower version wins over later build", {.name = "a", .version = "1.0", .buildTime = 9},
       {.name = "a", .version = "2.0", .buildTime = 1}, -1},
      {"later build", {.name = "a", .buildTime = 9}, {.name = "a", .buildTime = 1}, 1},
      {"a's member stands for a", {.name = "bundle", .version = "2.0", .members = {"m"}},
       {.name = "m", .version = "1.0"}, 1},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(compare(info(c.a), info(c.b)), c.expected);
  }
}

TEST(DependsOn, ThroughProvidesAndMembersOnBothSides) {
  const PackageInfo app = info({.name = "app", .deps = {rel("lib", v("2.0"))}});
  EXPECT_TRUE(dependsOn(app, info({.name = "lib", .version = "2.1"})));
  EXPECT_FALSE(dependsOn(app, info({.name = "lib", .version = "1.9"})));
  EXPECT_TRUE(dependsOn(app, info({.name = "alt", .provides = {rel("lib", v("2.0"))}})));
  EXPECT_FALSE(dependsOn(app, info({.name = "alt", .provides = {rel("lib", 0, v("1.0"))}})));

  PackageInfo bundle = info({.name = "bundle"});
  bundle.members.push_back(info({.name = "lib", .version = "3.0"}));
  EXPECT_TRUE(dependsOn(app, bundle));
  PackageInfo outer = info({.name = "outer"});
  outer.members.push_back(app);
  EXPECT_TRUE(dependsOn(outer, info({.name = "lib", .version = "2.0"})));
  EXPECT_FALSE(dependsOn(info({.name = "lib", .version = "2.0"}), app));
}

}  // namespace
}  // namespace vl::testing
