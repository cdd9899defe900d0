#include "packages/version.h"

#include <gtest/gtest.h>

#include <string>

namespace vl {
namespace {

struct ParseCase {
  const char* text;
  Version expected;
};

TEST(ParseVersion, KnownTexts) {
  const ParseCase cases[] = {
      {"6.49", 0x06316600},
      {"6.49.10", 0x0631660A},
      {"6.49rc3", 0x06316303},
      {"7.1beta4", 0x07016204},
      {"6.49.2rc3", 0},
      {"6.49test", 0x06316680},
      {"6.49test1", 0},
      {"6.49.0rc3", 0x06316303},
      {"6", 0},
      {"6.", 0},
      {".49", 0},
      {"6.49final", 0x06316600},
      {"6.49final2", 0x06316602},
      {"6.49rc", 0x06316300},
      {"6.49 ", 0},
      {"6.49alpha", 0x06316100},
      {"6.49.3test", 0x06316683},
      {"6.49x", 0},
      {"6.49.", 0},
      {"6.49rc3x", 0},
      {"", 0},
      {"6.49Beta1", 0},
      {"255.255.255", 0xFFFF66FF},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(parseVersion(c.text), c.expected) << '"' << c.text << '"';
  }
}

// Numbers that do not fit their byte would alias another release (or the database's
// no-data marker), so they are refused, as is a negative number that strtoul wraps.
TEST(ParseVersion, RefusesNumbersAboveAByte) {
  const char* texts[] = {"256.1",
                         "6.256",
                         "6.49.256",
                         "6.49rc256",
                         "6.49.-1",
                         "-1.49",
                         "6.-1",
                         "6.49rc-1",
                         "4294967295.0",
                         "6.49.300rc1",
                         "99999999999999999999999.1"};
  for (const char* text : texts) EXPECT_EQ(parseVersion(text), 0u) << text;
}

TEST(ParseVersion, EmbeddedNulIsNotAVersion) {
  EXPECT_EQ(parseVersion(std::string("6.49\0x", 6)), 0u);
}

TEST(FormatVersion, KnownValues) {
  const ParseCase cases[] = {
      {"6.49", 0x06316600},
      {"6.49.10", 0x0631660A},
      {"6.49rc3", 0x06316303},
      {"7.1beta4", 0x07016204},
      {"6.49.128", 0x06316680},
      {"6.493", 0x06310003},
      {"0.0", 0},
      {"6.49rc", 0x06316300},
      {"6.49alpha", 0x06316100},
      {"6.49", 0x06310000},
      {"255.255.255", 0xFFFF66FF},
  };
  for (const ParseCase& c : cases) EXPECT_EQ(formatVersion(c.expected), c.text);
}

TEST(FormatVersion, StaysWithinItsBuffer) {
  EXPECT_EQ(formatVersion(0xFFFFFFFF), "255.255255");
  EXPECT_LE(formatVersion(0xFFFF61FF).size(), 79u);
}

TEST(Version, OrdersReleasesByPlainComparison) {
  const char* ascending[] = {"6.49beta9", "6.49rc1", "6.49", "6.49.1", "6.49test", "6.50beta1"};
  for (std::size_t i = 1; i < std::size(ascending); ++i) {
    EXPECT_LT(parseVersion(ascending[i - 1]), parseVersion(ascending[i]))
        << ascending[i - 1] << " < " << ascending[i];
  }
  EXPECT_LT(Version{0x062F0000}, parseVersion("6.47alpha1"));
}

TEST(VersionText, NameVersionAndBound) {
  EXPECT_EQ(nameVersion("system", 0x0631660A), "system-6.49.10");
  EXPECT_EQ(boundText("system", 0), "system");
  EXPECT_EQ(boundText("routing", 0x06316303), "routing-6.49rc3");
}

TEST(BuildTime, FormatsInUtc) {
  EXPECT_EQ(formatBuildTime(0), "Jan/01/1970 00:00:00");
  EXPECT_EQ(formatBuildTime(1700000000), "Nov/14/2023 22:13:20");
  // Unsigned seconds run past 2038 on the board too.
  EXPECT_EQ(formatBuildTime(0xFFFFFFFF), "Feb/07/2106 06:28:15");
  EXPECT_EQ(formatBuildTime(0x80000000), "Jan/19/2038 03:14:08");
}

}  // namespace
}  // namespace vl
