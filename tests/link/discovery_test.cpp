// The discovery handshake against scripted servers on a veth segment.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "link/server_link.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

const char* kBoardMac = "02:00:00:00:01:01";
const char* kFirstServer = "02:00:00:00:00:0a";
const char* kSecondServer = "02:00:00:00:00:0b";

// The next frame from the board whose payload starts with `word`; false after `millis`.
bool awaitFromBoard(int fd, const char* word, int millis, FrameBuffer& frame) {
  const std::int64_t deadline = nowMicros() + millis * 1000;
  for (;;) {
    const std::int64_t left = deadline - nowMicros();
    if (left <= 0 || waitReadable(fd, left) != 1) return false;
    const ssize_t got = ::recv(fd, frame.data(), frame.size(), 0);
    if (got >= 24 && frameSender(frame) == test::parseMac(kBoardMac) &&
        std::memcmp(framePayload(frame), word, 4) == 0) {
      return true;
    }
  }
}

struct BoardResult {
  int chosen = -1;
  bool keep = false;
  std::string own, peer;
  std::uint32_t sentSeq = 0, recvSeq = 0, cycles = 0;
  std::size_t channels = 0;
};

// Runs discoverServer in the board's namespace; `cycleCounter` presets the counter.
test::Child startDiscovery(test::NetWorld& net, int reportFd, std::uint32_t cycleCounter) {
  return net.runIn("board", [=]() {
    ::alarm(30);
    ServerLink link;
    if (!enumerateChannels(link.channels)) return 1;
    link.cycleCounter = cycleCounter;
    bool keep = false;
    (void)discoverServer(
        link, "mips", "t2", "t3", "QL-TEST", []() { return makeVersion(6, 49, 'f', 10); }, keep);
    std::ostringstream out;
    out << link.chosen << " " << keep << " " << formatMac(link.state.ownMac) << " "
        << formatMac(link.state.peerMac) << " " << link.state.sentSeq << " " << link.state.recvSeq
        << " " << link.cycleCounter << " " << link.channels.size() << "\n";
    (void)!::write(reportFd, out.str().data(), out.str().size());
    return 0;
  });
}

BoardResult readResult(int fd) {
  std::string text;
  char buffer[256];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  BoardResult result;
  std::istringstream in(text);
  in >> result.chosen >> result.keep >> result.own >> result.peer >> result.sentSeq >>
      result.recvSeq >> result.cycles >> result.channels;
  return result;
}

struct OfferCase {
  const char* name;
  std::string payload;
  std::uint16_t sequence;
  std::uint16_t acknowledge;
  bool toAll;  // receiver field zero
  bool taken;
  bool keep;
};

// The first server offers the case's frame; when the board does not confirm it within
// a moment, a second server makes a plain offer, which the board must then take.
TEST(DiscoverServer, OffersTakenOrDropped) {
  const OfferCase cases[] = {
      {"keep", "OFFR\n\nkeep\n", 1, 0, false, true, true},
      {"keep without its line feed", "OFFR\n\nkeep", 1, 0, false, true, false},
      {"other third line", "OFFR server\ntext\nkeeps\nmore\n", 1, 0, false, true, false},
      {"second line of 512 bytes", "OFFR\n" + std::string(512, 't') + "\n", 1, 0, false, true,
       false},
      {"second line of 513 bytes", "OFFR\n" + std::string(513, 't') + "\n", 1, 0, false, false,
       false},
      {"no line feed after line 2", "OFFR\ntext", 1, 0, false, false, false},
      {"no line feed at all", "OFFR", 1, 0, false, false, false},
      {"another word", "OFFX\n\n", 1, 0, false, false, false},
      {"sequence 2", "OFFR\n\n", 2, 0, false, false, false},
      {"acknowledge 1", "OFFR\n\n", 1, 1, false, false, false},
      {"receiver all zero", "OFFR\n\n", 1, 0, true, false, false},
  };
  for (const OfferCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::NetWorld net;
    ASSERT_FALSE(net.addNamespace("board").empty());
    ASSERT_FALSE(net.addNamespace("srv").empty());
    ASSERT_TRUE(net.addVeth("board", "eth0", kBoardMac, "srv", "s0", "02:00:00:00:00:01"));
    test::Child server = net.runIn("srv", [&]() {
      const int fd = test::deviceSocket("s0");
      const MacAddress board = test::parseMac(kBoardMac);
      const MacAddress first = test::parseMac(kFirstServer);
      const MacAddress second = test::parseMac(kSecondServer);
      FrameBuffer frame;
      if (!awaitFromBoard(fd, "DSCV", 5000, frame)) return 10;
      const std::string expected("DSCV\nt2\nt3\nQL-TEST\nmips\n6.49.10\n6.49.10\n\0", 41);
      if (std::string(reinterpret_cast<const char*>(framePayload(frame)), frameLength(frame)) !=
              expected ||
          frameSequence(frame) != 1 || frameAcknowledge(frame) != 0 ||
          !isZeroMac(frameReceiver(frame))) {
        return 11;
      }
      test::broadcast(fd, test::craftFrame(first, c.toAll ? MacAddress{} : board, c.sequence,
                                           c.acknowledge, c.payload));
      const MacAddress& confirmed = awaitFromBoard(fd, "YACK", 400, frame) ? first : second;
      if (confirmed == second) {
        test::broadcast(fd, test::craftFrame(second, board, 1, 0, "OFFR\nplain\n"));
        if (!awaitFromBoard(fd, "YACK", 3000, frame)) return 12;
      }
      if (frameReceiver(frame) != confirmed || frameSequence(frame) != 1 ||
          frameAcknowledge(frame) != 1 || frameLength(frame) != 5 ||
          std::memcmp(framePayload(frame), "YACK\n", 5) != 0) {
        return 13;
      }
      test::broadcast(fd, test::craftFrame(confirmed, board, 2, 1, ""));
      return 0;
    });
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    test::Child board = startDiscovery(net, report[1], 0);
    ::close(report[1]);
    const BoardResult result = readResult(report[0]);
    ::close(report[0]);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(board.wait(), 0);
    EXPECT_EQ(result.peer, c.taken ? "02:00:00:00:00:0A" : "02:00:00:00:00:0B");
    EXPECT_EQ(result.keep, c.keep);
    EXPECT_EQ(result.chosen, 0);
    EXPECT_EQ(result.own, "02:00:00:00:01:01");
    EXPECT_EQ(result.sentSeq, 1u);
    EXPECT_EQ(result.recvSeq, 2u);
  }
}

// The list is built again in the 60th cycle: an interface that appeared since is used,
// and the server behind it found there.
TEST(DiscoverServer, ChannelListRebuiltInTheSixtiethCycle) {
  test::NetWorld net;
  for (const char* ns : {"board", "srv", "dead"}) ASSERT_FALSE(net.addNamespace(ns).empty());
  ASSERT_TRUE(net.addVeth("board", "eth0", "02:00:00:00:01:00", "dead", "d0", ""));
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  test::Child board = startDiscovery(net, report[1], 58);
  ::close(report[1]);
  ::usleep(300000);  // within the 59th cycle
  ASSERT_TRUE(net.addVeth("board", "eth1", kBoardMac, "srv", "s0", "02:00:00:00:00:01"));
  test::Child server = net.runIn("srv", []() {
    const int fd = test::deviceSocket("s0");
    const MacAddress board = test::parseMac(kBoardMac);
    const MacAddress own = test::parseMac(kFirstServer);
    FrameBuffer frame;
    if (!awaitFromBoard(fd, "DSCV", 5000, frame)) return 10;
    test::broadcast(fd, test::craftFrame(own, board, 1, 0, "OFFR\n\n"));
    if (!awaitFromBoard(fd, "YACK", 3000, frame)) return 12;
    test::broadcast(fd, test::craftFrame(own, board, 2, 1, ""));
    return 0;
  });
  const BoardResult result = readResult(report[0]);
  ::close(report[0]);
  EXPECT_EQ(server.wait(), 0);
  EXPECT_EQ(board.wait(), 0);
  EXPECT_EQ(result.channels, 2u);
  EXPECT_EQ(result.chosen, 1);
  EXPECT_EQ(result.own, "02:00:00:00:01:01");
  EXPECT_EQ(result.cycles, 0u);
}

}  // namespace
}  // namespace vl
