// The board's link code built for the board (big-endian MIPS under qemu in the mips
// build) installing from the PC's tarnwick built for the host: both ends' byte order
// meet for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/link/board_driver.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

TEST(Interop, BoardInstallsFromTheHostServer) {
  char pattern[] = "/tmp/vl-interop-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  std::vector<std::pair<std::string, std::string>> files = {
      {"first.scr", std::string(300000, '\0')}, {"empty.scr", ""}, {"last.scr", "#!/bin/sh\n"}};
  std::uint32_t state = 12345;
  for (char& c : files[0].second) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  std::vector<std::string> argv = {HOST_TARNWICK, "-i", "s0", "--boards", "1"};
  for (const auto& [name, bytes] : files) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    argv.push_back(dir + "/" + name);
  }
  test::NetWorld net;
  ASSERT_FALSE(net.addNamespace("srv").empty());
  ASSERT_FALSE(net.addNamespace("board").empty());
  ASSERT_TRUE(net.addVeth("board", "eth0", "02:00:00:00:01:01", "srv", "s0", "02:00:00:00:00:01"));
  test::Child server = net.runIn("srv", [&]() {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    return 127;
  });
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  test::Child board = net.runIn("board", [&]() {
    ::alarm(60);
    const std::string text = test::encodeReport(test::runBoard(test::BoardScript{}));
    (void)!::write(report[1], text.data(), text.size());
    return 0;
  });
  ::close(report[1]);
  std::string text;
  char buffer[1024];
  ssize_t got = 0;
  while ((got = ::read(report[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(report[0]);
  EXPECT_EQ(board.wait(), 0);
  EXPECT_EQ(server.wait(), 0);
  const test::BoardReport result = test::decodeReport(text);
  EXPECT_EQ(result.outcome, "end");
  EXPECT_TRUE(result.terminated);
  ASSERT_EQ(result.files.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    EXPECT_EQ(result.files[i].name, files[i].first);
    EXPECT_EQ(result.files[i].size, static_cast<std::int32_t>(files[i].second.size()));
    EXPECT_EQ(
        result.files[i].checksum,
        test::fnv1a(test::kFnvStart, reinterpret_cast<const std::uint8_t*>(files[i].second.data()),
                    files[i].second.size()));
  }
  (void)test::run("rm -rf " + dir);
}

}  // namespace
}  // namespace vl
