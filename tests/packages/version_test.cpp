#include "packages/version.h"

#include <gtest/gtest.h>

#include <string>

namespace vl {
namespace {

struct Case {
  const char* text;
  Version value;
};

// Refused texts include numbers above a byte, which would alias another release (or the
// database's no-data marker), and negatives that strtoul wraps.
TEST(Version, ParsesKnownTextsAndRefusesTheRest) {
  const Case cases[] = {
      {"6.49", 0x06316600},       {"6.49.10", 0x0631660A},    {"6.49rc3", 0x06316303},
      {"7.1beta4", 0x07016204},   {"6.49test", 0x06316680},   {"6.49.0rc3", 0x06316303},
      {"6.49final2", 0x06316602}, {"6.49rc", 0x06316300},     {"6.49alpha", 0x06316100},
      {"6.49.3test", 0x06316683}, {"255.255.255", 0xFFFF66FF}};
  const char* refused[] = {"6.49.2rc3", "6.49test1", "6.",    ".49",         "6.49 ", "6.49x",
                           "6.49.",     "6.49rc3x",  "",      "6.49Beta1",   "256.1", "6.49.256",
                           "6.49rc256", "6.49.-1",   "-1.49", "4294967295.0"};
  for (const Case& c : cases) EXPECT_EQ(parseVersion(c.text), c.value) << '"' << c.text << '"';
  for (const char* text : refused) EXPECT_EQ(parseVersion(text), 0u) << '"' << text << '"';
  EXPECT_EQ(parseVersion(std::string("6.49\0x", 6)), 0u);
}

TEST(Version, FormatsWithinItsBuffer) {
  const Case cases[] = {
      {"6.49.10", 0x0631660A},   {"6.49rc3", 0x06316303}, {"7.1beta4", 0x07016204},
      {"6.49.128", 0x06316680},  {"6.493", 0x06310003},   {"0.0", 0},
      {"6.49alpha", 0x06316100}, {"6.49", 0x06310000},    {"255.255255", 0xFFFFFFFF}};
  for (const Case& c : cases) EXPECT_EQ(formatVersion(c.value), c.text);
  EXPECT_LE(formatVersion(0xFFFF61FF).size(), 79u);
}

TEST(Version, OrdersReleasesByPlainComparison) {
  const char* ascending[] = {"6.49beta9", "6.49rc1", "6.49", "6.49.1", "6.49test", "6.50beta1"};
  for (std::size_t i = 1; i < std::size(ascending); ++i) {
    EXPECT_LT(parseVersion(ascending[i - 1]), parseVersion(ascending[i])) << ascending[i];
  }
}

TEST(Version, NamesAndBuildTimes) {
  EXPECT_EQ(nameVersion("system", 0x0631660A), "system-6.49.10");
  EXPECT_EQ(boundText("system", 0), "system");
  EXPECT_EQ(boundText("routing", 0x06316303), "routing-6.49rc3");
  // Unsigned seconds run past 2038 on the board too.
  EXPECT_EQ(formatBuildTime(1700000000), "Nov/14/2023 22:13:20");
  EXPECT_EQ(formatBuildTime(0xFFFFFFFF), "Feb/07/2106 06:28:15");
}

}  // namespace
}  // namespace vl
