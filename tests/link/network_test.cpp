// Whole installations over veth segments: the real tarnwick in one namespace, boards
// driving the link as the install sequence does in others.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "tests/link/install_world.h"

namespace vl {
namespace {

using test::BoardRun;
using test::InstallWorld;
using test::SourceFile;

const char* kServerMac = "02:00:00:00:00:01";

// Boards on one bridge with the server: every answer is a broadcast that every board
// hears, so each must pick out its own. The first board's first interface leads to a
// segment without a server, where a listener hears its discovery; the offer comes on
// its second.
TEST(Installation, ThreeBoardsAtOnceEachGetsEveryFileByteForByte) {
  InstallWorld world;
  for (const char* ns : {"srv", "dead"}) ASSERT_FALSE(world.net.addNamespace(ns).empty());
  ASSERT_TRUE(world.net.ip("srv", "link add name br0 type bridge"));
  ASSERT_TRUE(world.net.ip("srv", std::string("link set br0 address ") + kServerMac + " up"));
  for (const std::string ns : {"b1", "b2", "b3"}) {
    ASSERT_FALSE(world.net.addNamespace(ns).empty());
    if (ns == "b1") {
      ASSERT_TRUE(world.net.addVeth(ns, "eth0", "02:00:00:00:01:01", "dead", "d0", ""));
    }
    ASSERT_TRUE(
        world.net.addVeth(ns, "eth1", "02:00:00:00:02:0" + ns.substr(1), "srv", "p" + ns, ""));
    ASSERT_TRUE(world.net.ip("srv", "link set p" + ns + " master br0"));
  }
  test::Child listener = world.net.runIn("dead", []() {
    const int fd = test::deviceSocket("d0");
    const timeval timeout{1, 500000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    FrameBuffer frame;
    const MacAddress board = {0x02, 0, 0, 0, 0x01, 0x01};
    const std::string expected("DSCV\n\n\nQL-TEST\nmips\n0.0\n6.49.10\n\0", 33);
    for (ssize_t got; (got = ::recv(fd, frame.data(), frame.size(), 0)) > 0;) {
      const std::string text(reinterpret_cast<const char*>(framePayload(frame)),
                             frameLength(frame));
      if (frameSender(frame) == board && text == expected) return 0;
    }
    return 1;
  });
  const std::vector<SourceFile> files = {
      world.addFile("first.scr", 5000), world.addFile("system.vpk", 300000),
      world.addFile("empty.scr", 0), world.addFile("extra.vpk", 4076 * 3)};
  ASSERT_TRUE(world.startServer("srv", {"-i", "br0", "--boards", "3"}, files));
  BoardRun boards[3];
  for (int i = 0; i < 3; ++i) {
    const std::string out = world.dir / ("out" + std::to_string(i));
    ASSERT_TRUE(test::run("mkdir " + out));
    test::startBoard(boards[i], world.net, "b" + std::to_string(i + 1), out);
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const test::BoardReport& report = test::finishBoard(boards[i]);
    EXPECT_TRUE(report.terminated);
    EXPECT_EQ(report.chosen, i == 0 ? 1 : 0);
    EXPECT_EQ(report.ownMac, "02:00:00:00:02:0" + std::to_string(i + 1));
    EXPECT_STREQ(report.serverMac, "02:00:00:00:00:01");
    world.expectInstalled(report, world.dir / ("out" + std::to_string(i)), files);
  }
  EXPECT_EQ(world.server.wait(), 0);
  EXPECT_EQ(listener.wait(), 0);
}

// More than 65535 frames each way: both ends number modulo 65536.
TEST(Installation, TransferOfMoreThan65535Frames) {
  InstallWorld world;
  ASSERT_FALSE(world.net.addNamespace("srv").empty());
  ASSERT_FALSE(world.net.addNamespace("board").empty());
  ASSERT_TRUE(world.net.addVeth("board", "eth0", "02:00:00:00:01:01", "srv", "s0", kServerMac));
  const std::vector<SourceFile> files = {world.addFile("big.scr", 70000 * kMaxPayload + 123)};
  ASSERT_TRUE(world.startServer("srv", {"-i", "s0", "--boards", "1"}, files));
  BoardRun board;
  test::startBoard(board, world.net, "board", "");
  world.expectInstalled(test::finishBoard(board), "", files);
  EXPECT_EQ(world.server.wait(), 0);
}

}  // namespace
}  // namespace vl
