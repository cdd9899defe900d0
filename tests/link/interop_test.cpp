// The board's link code built for the board (big-endian MIPS under qemu in the mips
// build) installing from the PC's tarnwick built for the host: both ends' byte order
// meet for real.
#include <gtest/gtest.h>

#include <random>

#include "tests/link/board_driver.h"
#include "tests/support/files.h"

namespace vl {
namespace {

TEST(Interop, BoardInstallsFromTheHostServer) {
  testing::TempDir dir;
  std::vector<std::pair<std::string, std::string>> files = {
      {"first.scr", std::string(300000, '\0')}, {"empty.scr", ""}, {"last.scr", "#!/bin/sh\n"}};
  std::mt19937 random(12345);
  for (char& c : files[0].second) c = static_cast<char>(random());
  std::vector<std::string> argv = {HOST_TARNWICK, "-i", "s0", "--boards", "1"};
  for (const auto& [name, bytes] : files) {
    testing::writeFile(dir / name, bytes);
    argv.push_back(dir / name);
  }
  test::NetWorld net;
  ASSERT_FALSE(net.addNamespace("srv").empty());
  ASSERT_FALSE(net.addNamespace("board").empty());
  ASSERT_TRUE(net.addVeth("board", "eth0", "02:00:00:00:01:01", "srv", "s0", "02:00:00:00:00:01"));
  test::Child server = net.execIn("srv", argv, "/dev/null");
  const std::string out = dir / "out";
  ASSERT_TRUE(test::run("mkdir " + out));
  test::BoardRun board;
  test::startBoard(board, net, "board", out);
  const test::BoardReport& report = test::finishBoard(board);
  EXPECT_EQ(server.wait(), 0);
  EXPECT_STREQ(report.outcome, "end");
  EXPECT_TRUE(report.terminated);
  ASSERT_EQ(report.fileCount, 3);
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    EXPECT_EQ(report.files[i].name, files[i].first);
    EXPECT_EQ(report.files[i].size, static_cast<std::int32_t>(files[i].second.size()));
    EXPECT_TRUE(testing::readFile(out + "/" + files[i].first) == files[i].second);
  }
}

}  // namespace
}  // namespace vl
