// The installer's pure decisions, by table.
#include <gtest/gtest.h>

#include "installer/install_sequence.h"
#include "installer/system.h"

namespace vl {
namespace {

TEST(ModelName, ShortFormsOfTheBoardName) {
  const struct {
    const char* board;
    const char* model;
  } cases[] = {
      {"Quorrelin 12 Z-4", "QL12Z-4"}, {"", "QL "},      {"Ostrevane X 7", "OSVX7"},
      {"Fennmarch  R 2 ", "FNMR2"},    {"TZ-5", "TZ-5"}, {"Quorrelin", "QL Quorrelin"},
      {"Ostrevane ", "OSV"},
  };
  for (const auto& c : cases) EXPECT_EQ(composeModelName(c.board), c.model) << c.board;
}

TEST(Architecture, SmallBoardsByMemoryAndFlash) {
  const struct {
    std::uint32_t memoryKb;
    std::uint64_t flash;
    const char* name;
  } cases[] = {
      {16384, 16u << 20, "smips"},     {16384, (16u << 20) + 1, "mips"},
      {32767, 16u << 20, "smips"},     {32768, 8u << 20, "smips"},
      {32768, (8u << 20) + 1, "mips"}, {65536, 0x1FFFFFFFEull, "mips"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(architectureFor(c.memoryKb, c.flash), c.name) << c.memoryKb << " " << c.flash;
  }
}

TEST(KernelFlags, FoundAnywhereInTheCommandLine) {
  const struct {
    const char* line;
    const char* flag;
    bool found;
  } cases[] = {
      {"console=ttyS0 no-uart quiet", "no-uart", true},
      {"board=birch-x2v2 root=/dev/ram", "board=birch-x2", true},
      {"xno-nandx", "no-nand", true},
      {"board=alder-x", "board=alder-x1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(commandLineHas(c.line, c.flag), c.found) << c.line;
}

TEST(FileNames, OnlyPlainShortNamesReachTheFlash) {
  const struct {
    std::string name;
    bool plain;
  } cases[] = {
      {"config.scr", true},
      {"abcdefghijklmnopqrstuvwxyz0.scr", true},  // 31 bytes
      {"abcdefghijklmnopqrstuvwxyz01.scr", false},
      {"", false},
      {".", false},
      {"..", false},
      {"../etc.scr", false},
      {std::string("a\0b.scr", 7), false},
      {"a\nb.scr", false},
      {"a\x1b[2J.scr", false},
      {"a\x7f.scr", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isPlainFileName(c.name), c.plain) << c.name;
}

#if defined(__mips__)
TEST(Requests, PanicDriverRequestIsTheBoards) { EXPECT_EQ(kPanicsRequest, 0x20005003u); }
#endif

}  // namespace
}  // namespace vl
