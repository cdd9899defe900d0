// Frame header, numbering, acceptance rules and the stop-and-wait exchange.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "link/frame.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

const MacAddress kBoard = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
const MacAddress kServer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x05};
const MacAddress kThird = {0x02, 0x00, 0x00, 0x00, 0x00, 0x33};

TEST(StampFrame, WritesLittleEndianHeaderByteForByte) {
  LinkState state{0x1233, 0xABCD, kBoard, kServer};
  FrameBuffer frame;
  clearFrame(frame);
  stampFrame(state, frame, 0x0102);
  const std::uint8_t expected[20] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x02, 0x00, 0x00, 0x00,
                                     0x00, 0x05, 0x00, 0x00, 0x02, 0x01, 0x34, 0x12, 0xCD, 0xAB};
  EXPECT_EQ(0, std::memcmp(frame.data(), expected, sizeof expected));
  EXPECT_EQ(state.sentSeq, 0x1234u);
}

struct AcceptCase {
  const char* name;
  std::uint32_t sentSeq;
  std::uint32_t recvSeq;
  bool serverChosen;
  MacAddress sender;
  MacAddress receiver;
  std::uint16_t sequence;
  std::uint16_t acknowledge;
  int lengthSkew;  // received bytes beyond what the length field says
  bool accepted;
};

TEST(AcceptFrame, RulesInOrder) {
  const AcceptCase cases[] = {
      {"next answer", 5, 5, true, kServer, kBoard, 6, 5, 0, true},
      {"length field short of the datagram", 5, 5, true, kServer, kBoard, 6, 5, 1, false},
      {"length field beyond the datagram", 5, 5, true, kServer, kBoard, 6, 5, -1, false},
      {"own broadcast heard back", 0, 0, false, kBoard, {}, 1, 0, 0, false},
      {"to all before a server is chosen", 0, 0, false, kServer, {}, 1, 0, 0, true},
      {"to all after a server is chosen", 5, 5, true, kServer, {}, 6, 5, 0, false},
      {"to another board", 5, 5, true, kServer, kThird, 6, 5, 0, false},
      {"third machine to this board", 5, 5, true, kThird, kBoard, 6, 5, 0, false},
      {"any sender before a server is chosen", 0, 0, false, kThird, kBoard, 1, 0, 0, true},
      {"acknowledges an unsent request", 5, 5, true, kServer, kBoard, 6, 6, 0, false},
      {"acknowledges an older request", 5, 5, true, kServer, kBoard, 6, 2, 0, true},
      {"repeated answer", 5, 5, true, kServer, kBoard, 5, 5, 0, false},
      {"skips a number", 5, 5, true, kServer, kBoard, 7, 5, 0, false},
      {"old answer", 5, 5, true, kServer, kBoard, 3, 3, 0, false},
      {"sequence wraps to 0", 65535, 65535, true, kServer, kBoard, 0, 65535, 0, true},
      {"sequence 65536 after the wrap", 65536, 65535, true, kServer, kBoard, 0, 0, 0, true},
      {"ack older across the wrap", 65537, 65537, true, kServer, kBoard, 2, 65535, 0, true},
      {"ack newer across the wrap", 65535, 65535, true, kServer, kBoard, 0, 0, 0, false},
      {"repeat across the wrap", 65536, 65536, true, kServer, kBoard, 0, 0, 0, false},
  };
  for (const AcceptCase& c : cases) {
    SCOPED_TRACE(c.name);
    LinkState state{c.sentSeq, c.recvSeq, kBoard, c.serverChosen ? kServer : MacAddress{}};
    test::CraftedFrame frame =
        test::craftFrame(c.sender, c.receiver, c.sequence, c.acknowledge, "DATA");
    const int received = static_cast<int>(frame.size) + c.lengthSkew;
    EXPECT_EQ(acceptFrame(state, frame.bytes, received), c.accepted);
    EXPECT_EQ(state.recvSeq, c.accepted ? c.recvSeq + 1 : c.recvSeq);
    EXPECT_EQ(state.sentSeq, c.sentSeq);
  }
}

// Board end over loopback: 127.0.0.1:5000, the peer at 127.0.0.2:5000.
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::loopbackChannel(channel_, "127.0.0.1", "127.0.0.2")); }

  NetChannel channel_;
};

// Stale, repeated and foreign datagrams queued ahead of the answer are drained within
// one try, and the answer behind them is taken.
TEST_F(ExchangeTest, BurstOfStaleAndForeignFramesIsDrainedWithinOneTry) {
  const int peerSocket = test::udpSocket("127.0.0.2", kLinkPort, false);
  const int strangerSocket = test::udpSocket("127.0.0.2", 5001, false);
  ASSERT_GE(peerSocket, 0);
  ASSERT_GE(strangerSocket, 0);
  const auto send = test::sendToBoard;
  send(peerSocket, test::craftFrame(kServer, kBoard, 8, 7, "old"));   // already accepted
  send(peerSocket, test::craftFrame(kBoard, kServer, 8, 7, "RETR"));  // our own, heard back
  for (int i = 0; i < 60; ++i) {
    send(peerSocket, test::craftFrame(kThird, kBoard, 9, 8, "stranger"));  // third machine
  }
  send(strangerSocket, test::craftFrame(kServer, kBoard, 9, 8, "port"));  // foreign port
  send(peerSocket, test::craftFrame(kServer, kBoard, 10, 8, "ahead"));    // skips one
  send(peerSocket, test::craftFrame(kServer, kBoard, 9, 8, "DATA"));
  LinkState state{8, 8, kBoard, kServer};  // request 8 sent, answer 8 taken
  FrameBuffer answer;
  const test::CraftedFrame request = test::craftFrame(kBoard, kServer, 8, 8, "RETR");
  EXPECT_EQ(exchangeFrame(channel_, state, request.bytes, answer, 5000000, 1), 24);
  EXPECT_EQ(0, std::memcmp(framePayload(answer), "DATA", 4));
  ::close(peerSocket);
  ::close(strangerSocket);
}

struct ReceiveCase {
  const char* name;
  std::uint16_t fromPort;
  std::size_t size;
  int expected;
};

// Only port 5000 speaks the protocol; nothing is written past the frame buffer.
TEST_F(ExchangeTest, ReceiveRefusesForeignPortsAndPassesEmptyDatagrams) {
  const ReceiveCase cases[] = {
      {"from port 5000", 5000, 24, 24},
      {"empty from port 5000", 5000, 0, 0},
      {"from port 5001", 5001, 24, -1},
      {"cut to the frame buffer", 5000, 5000, 4096},
  };
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int peer = test::udpSocket("127.0.0.2", c.fromPort, false);
    test::sendToBoard(peer, std::string(c.size, 'd'));
    ::close(peer);
    std::vector<std::uint8_t> buffer(4096 + 64, 0xEE);
    ASSERT_EQ(waitReadable(channel_.socket, 1000000), 1);
    EXPECT_EQ(channelReceive(channel_, buffer.data()), c.expected);
    EXPECT_EQ(buffer[4096], 0xEE);
    EXPECT_EQ(channel_.lastSource.sin_port, htons(c.fromPort));
  }
}

}  // namespace
}  // namespace vl
