// What the board's drivers answer, decoded: the release bound, the capability bit, the
// erase blocks and the board name, including answers a driver should not give.
#include "installer/board_queries.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstring>

#include "installer/ubi.h"

namespace vl {
namespace {

constexpr bool kBigEndian = std::endian::native == std::endian::big;

TEST(BoardQueries, MinVersionTakesTheReportedPayloadBytesAtMostFour) {
  struct Case {
    std::uint16_t length;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {4, kBigEndian ? 0x0631660Au : 0x0A663106u},
      {2, kBigEndian ? 0x06310000u : 0x00003106u},
      {0, 0},
      {9, kBigEndian ? 0x0631660Au : 0x0A663106u},  // more than the payload holds
  };
  for (const Case& c : cases) {
    const FlashTagRequest answer{c.length, kFlashTagMinVersion, {0x06, 0x31, 0x66, 0x0A}};
    EXPECT_EQ(decodeMinVersion(answer), c.expected) << c.length;
  }
}

TEST(BoardQueries, Flag1000OnlyFromAPositiveResult) {
  const std::pair<int, bool> cases[] = {
      {0x1000, true}, {0x1001, true}, {0x0FFF, false},
      {0, false},     {-1, false},    {INT_MIN | 0x1000, false},
  };
  for (const auto& [result, flag] : cases) EXPECT_EQ(decodeFlag1000(result), flag) << result;
}

TEST(BoardQueries, LargeEraseBlocksAre256KiB) {
  const std::pair<std::uint32_t, bool> cases[] = {
      {0x40000, true}, {0x20000, false}, {0x80000, false}, {0, false}};
  for (const auto& [eraseSize, large] : cases) {
    mtd_info_user info{};
    info.erasesize = eraseSize;
    EXPECT_EQ(decodeLargeEraseBlocks(info), large) << eraseSize;
  }
}

TEST(BoardQueries, BoardNameStopsAtItsZeroOrTheBuffersEnd) {
  const std::pair<const char*, const char*> cases[] = {
      {"Quorrelin 12Z-4", "Quorrelin 12Z-4"},
      {"", ""},
      {"0123456789abcdefghijklmnopqrstuvwxyz", "0123456789abcdefghijklmnopqrstuv"},
  };
  for (const auto& [driver, name] : cases) {
    BoardNameBytes bytes{};
    std::memcpy(bytes.data(), driver, std::min(std::strlen(driver), bytes.size()));
    EXPECT_EQ(decodeBoardName(bytes), name);
  }
}

// This machine has neither "/dev/flash" nor MTD devices: every question gets its
// failure answer through the real system calls.
TEST(BoardQueries, MissingDevicesGiveTheFailureAnswers) {
  EXPECT_EQ(boardMinVersion(), 0u);
  EXPECT_FALSE(boardHasFlag1000());
  EXPECT_FALSE(mtd0HasLargeEraseBlocks());
  EXPECT_EQ(mtdSize(7), 0u);
  EXPECT_EQ(boardName(), "");
}

TEST(BoardQueries, RequestNumbersAreTheBoardKernels) {
#if defined(__mips__)
  const std::pair<unsigned long, unsigned long> cases[] = {
      {kUbiAttachRequest, 0x80186F40},         {kUbiDetachRequest, 0x80046F41},
      {kUbiMakeVolumeRequest, 0x80986F00},     {kFlashTagRequest, 0xC0044626},
      {kFlashCapabilitiesRequest, 0x2000462B}, {kMtdInfoRequest, 0x40204D01},
      {kFlashBoardNameRequest, 0x40204605},
  };
  for (const auto& [request, expected] : cases) EXPECT_EQ(request, expected);
#else
  GTEST_SKIP() << "the numbers are the boards' processor's";
#endif
}

}  // namespace
}  // namespace vl
