#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packages/install.h"
#include "tests/install/install_fixture.h"

namespace vl::testing {
namespace {

using UnpackTarget = InstallFixture;

TEST_F(UnpackTarget, StaysInsideFlashWhateverTheName) {
  ASSERT_EQ(::mkdir("/flash/usr", 0755), 0);
  ASSERT_EQ(::mkdir("/ram/outside", 0755), 0);
  ASSERT_EQ(::symlink("/flash/usr", "/flash/inside"), 0);
  ASSERT_EQ(::symlink("/ram/outside", "/flash/out"), 0);
  ASSERT_EQ(::symlink("../ram/outside", "/flash/relative-out"), 0);
  ASSERT_EQ(::symlink("/flash/nothing-here", "/flash/dangling"), 0);
  ASSERT_EQ(::symlink("/ram/outside/file", "/flash/file-out"), 0);
  journal.stageSymlink("/ram/outside", "/flash/staged");

  Package enabled;
  enabled.name = "app";
  Package disabled;
  disabled.name = "app";
  disabled.disabled = true;

  const struct {
    const Package& record;
    std::string entry;
    const char* expected;  // nullptr: refused
  } cases[] = {
      {enabled, "bin/x", "/flash/bin/x"},
      {enabled, "/bin/x", "/flash/bin/x"},
      {enabled, "./bin/x", "/flash/./bin/x"},
      {enabled, "bin//x", "/flash/bin//x"},
      {disabled, "bin/x", "/flash/x/app/bin/x"},
      {disabled, "/bin/x", "/flash/x/app/bin/x"},
      {enabled, "inside/lib.so", "/flash/inside/lib.so"},
      {enabled, "..", nullptr},
      {enabled, "../etc/passwd", nullptr},
      {enabled, "/../etc/passwd", nullptr},
      {enabled, "bin/../../etc/passwd", nullptr},
      {enabled, "bin/..", nullptr},
      {disabled, "../../bin/x", nullptr},
      {enabled, "", nullptr},
      {enabled, "/", nullptr},
      {enabled, "./", nullptr},
      {enabled, std::string("bin/x\0/../../y", 14), nullptr},
      {enabled, "out/lib.so", nullptr},
      {enabled, "relative-out/lib.so", nullptr},
      {enabled, "dangling/lib.so", nullptr},
      {enabled, "file-out", nullptr},
      {enabled, "staged/lib.so", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const std::optional<std::string> target = unpackTarget(c.record, c.entry, journal);
    if (c.expected == nullptr) {
      EXPECT_FALSE(target) << *target;
    } else {
      EXPECT_EQ(target.value_or("<refused>"), c.expected);
    }
  }
}

}  // namespace
}  // namespace vl::testing
