// Frame header, numbering, acceptance rules and the stop-and-wait exchange.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

const MacAddress kBoard = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
const MacAddress kServer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x05};
const MacAddress kThird = {0x02, 0x00, 0x00, 0x00, 0x00, 0x33};
const MacAddress kZero = {};

class PrivateNetwork : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(test::enterPrivateNetwork()); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

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
      {"own broadcast heard back", 0, 0, false, kBoard, kZero, 1, 0, 0, false},
      {"to all before a server is chosen", 0, 0, false, kServer, kZero, 1, 0, 0, true},
      {"to all after a server is chosen", 5, 5, true, kServer, kZero, 6, 5, 0, false},
      {"to another board", 5, 5, true, kServer, kThird, 6, 5, 0, false},
      {"third machine to this board", 5, 5, true, kThird, kBoard, 6, 5, 0, false},
      {"any sender before a server is chosen", 0, 0, false, kThird, kBoard, 1, 0, 0, true},
      {"acknowledges an unsent request", 5, 5, true, kServer, kBoard, 6, 6, 0, false},
      {"acknowledges an older request", 5, 5, true, kServer, kBoard, 6, 2, 0, true},
      {"repeated answer", 5, 5, true, kServer, kBoard, 5, 5, 0, false},
      {"skips a number", 5, 5, true, kServer, kBoard, 7, 5, 0, false},
      {"old answer", 5, 5, true, kServer, kBoard, 3, 3, 0, false},
      {"offer numbered 2", 0, 0, false, kServer, kBoard, 2, 0, 0, false},
      {"offer acknowledging 1", 0, 0, false, kServer, kBoard, 1, 1, 0, false},
      {"sequence wraps to 0", 65535, 65535, true, kServer, kBoard, 0, 65535, 0, true},
      {"sequence 65536 after the wrap", 65536, 65535, true, kServer, kBoard, 0, 0, 0, true},
      {"ack older across the wrap", 65537, 65537, true, kServer, kBoard, 2, 65535, 0, true},
      {"ack newer across the wrap", 65535, 65535, true, kServer, kBoard, 0, 0, 0, false},
      {"repeat across the wrap", 65536, 65536, true, kServer, kBoard, 0, 0, 0, false},
  };
  for (const AcceptCase& c : cases) {
    SCOPED_TRACE(c.name);
    LinkState state{c.sentSeq, c.recvSeq, kBoard, c.serverChosen ? kServer : kZero};
    test::CraftedFrame frame =
        test::craftFrame(c.sender, c.receiver, c.sequence, c.acknowledge, "DATA");
    const int received = static_cast<int>(frame.size) + c.lengthSkew;
    EXPECT_EQ(acceptFrame(state, frame.bytes, received), c.accepted);
    EXPECT_EQ(state.recvSeq, c.accepted ? c.recvSeq + 1 : c.recvSeq);
    EXPECT_EQ(state.sentSeq, c.sentSeq);
  }
}

TEST(AcceptFrame, ShortOrFailedReceiveClearsTheHeader) {
  for (int received : {-1, 0, 19}) {
    SCOPED_TRACE(received);
    LinkState state{0, 0, kBoard, kZero};
    test::CraftedFrame frame = test::craftFrame(kServer, kBoard, 1, 0, "OFFR\n\n");
    EXPECT_FALSE(acceptFrame(state, frame.bytes, received));
    EXPECT_TRUE(std::all_of(frame.bytes.begin(), frame.bytes.begin() + 20,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(frame.bytes[20], 'O');
  }
}

// Plays the server's numbering against the board's for a whole installation of more than
// 65536 exchanges: every request and answer is as the worked numbering says, and nothing
// stalls at the wrap.
TEST(Numbering, WholeSessionAcrossTheWrap) {
  LinkState board{0, 0, kBoard, kZero};
  FrameBuffer request;
  clearFrame(request);
  stampFrame(board, request, 4);  // DSCV: counters reset after stamping
  EXPECT_EQ(frameSequence(request), 1);
  EXPECT_EQ(frameAcknowledge(request), 0);
  board.sentSeq = 0;
  board.recvSeq = 0;
  test::CraftedFrame offer = test::craftFrame(kServer, kBoard, 1, 0, "OFFR\n\n");
  ASSERT_TRUE(acceptFrame(board, offer.bytes, static_cast<int>(offer.size)));
  board.peerMac = kServer;

  struct Row {
    std::uint16_t sequence, acknowledge, answerSequence;
  };
  const Row worked[] = {{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 5}};
  std::uint32_t expectedSequence = 1;
  for (int i = 0; i < 70000; ++i) {
    clearFrame(request);
    stampFrame(board, request, 4);
    if (i < 4) {
      EXPECT_EQ(frameSequence(request), worked[i].sequence);
      EXPECT_EQ(frameAcknowledge(request), worked[i].acknowledge);
    }
    ASSERT_EQ(frameSequence(request), static_cast<std::uint16_t>(expectedSequence));
    ASSERT_EQ(frameAcknowledge(request), static_cast<std::uint16_t>(expectedSequence));
    const auto answerSequence = static_cast<std::uint16_t>(frameSequence(request) + 1);
    if (i < 4) {
      EXPECT_EQ(answerSequence, worked[i].answerSequence);
    }
    test::CraftedFrame answer =
        test::craftFrame(kServer, kBoard, answerSequence, frameSequence(request), "");
    ASSERT_TRUE(acceptFrame(board, answer.bytes, static_cast<int>(answer.size)))
        << "exchange " << i;
    ASSERT_FALSE(acceptFrame(board, answer.bytes, static_cast<int>(answer.size))) << "repeat " << i;
    ++expectedSequence;
  }
}

// Board end over loopback: 127.0.0.1:5000, the peer at 127.0.0.2:5000.
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::loopbackChannel(channel_, "127.0.0.1", "127.0.0.2"));
    state_ = LinkState{7, 8, kBoard, kServer};  // as after request 7 and answer 8
    clearFrame(request_);
    std::memcpy(framePayload(request_), "RETR", 4);
    stampFrame(state_, request_, 4);
  }

  test::ScriptedPeer peer(std::vector<std::string> answers) {
    test::ScriptedPeer script;
    script.ownMac = kServer;
    script.boardMac = kBoard;
    script.answers = std::move(answers);
    return script;
  }

  NetChannel channel_;
  LinkState state_;
  FrameBuffer request_;
  FrameBuffer answer_;
};

TEST_F(ExchangeTest, SilentPeerGetsTheIdenticalRequestOncePerTry) {
  test::PeerRun run = test::startPeer(peer({}), "127.0.0.2");
  EXPECT_EQ(exchangeFrame(channel_, state_, request_, answer_, 20000, 12), -1);
  const std::vector<std::string> log = run.finish();
  EXPECT_EQ(log.size(), 12u);
  for (const std::string& line : log) EXPECT_EQ(line, "8 RETR");
  EXPECT_EQ(state_.recvSeq, 8u);
}

TEST_F(ExchangeTest, NoTriesSendsNothing) {
  test::PeerRun run = test::startPeer(peer({"DATA"}), "127.0.0.2");
  EXPECT_EQ(exchangeFrame(channel_, state_, request_, answer_, 20000, 0), -1);
  EXPECT_TRUE(run.finish().empty());
}

TEST_F(ExchangeTest, LateAnswerIsTakenOnALaterTry) {
  test::ScriptedPeer script = peer({"late"});
  script.ignoreFirst = 2;
  test::PeerRun run = test::startPeer(script, "127.0.0.2");
  const int length = exchangeFrame(channel_, state_, request_, answer_, 50000, 10);
  EXPECT_EQ(length, 24);
  EXPECT_EQ(0, std::memcmp(framePayload(answer_), "late", 4));
  EXPECT_EQ(state_.recvSeq, 9u);
  EXPECT_EQ(run.finish().size(), 3u);
}

TEST_F(ExchangeTest, SendThatFailsEndsAtOnce) {
  closeChannel(channel_);
  EXPECT_EQ(exchangeFrame(channel_, state_, request_, answer_, 1000000, 300), -1);
}

// Stale, repeated and foreign datagrams queued ahead of the answer are drained within
// one try, and the answer behind them is taken.
TEST_F(ExchangeTest, BurstOfStaleAndForeignFramesIsDrainedWithinOneTry) {
  const int peerSocket = test::udpSocket("127.0.0.2", kLinkPort, false);
  const int strangerSocket = test::udpSocket("127.0.0.2", 5001, false);
  ASSERT_GE(peerSocket, 0);
  ASSERT_GE(strangerSocket, 0);
  auto send = [&](int socket, const test::CraftedFrame& frame) {
    sockaddr_in to = channel_.destination;
    to.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(::sendto(socket, frame.bytes.data(), frame.size, 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(frame.size));
  };
  send(peerSocket, test::craftFrame(kServer, kBoard, 8, 7, "old"));   // already accepted
  send(peerSocket, test::craftFrame(kBoard, kServer, 8, 7, "RETR"));  // our own, heard back
  for (int i = 0; i < 60; ++i) {
    send(peerSocket, test::craftFrame(kThird, kBoard, 9, 8, "stranger"));  // third machine
  }
  send(strangerSocket, test::craftFrame(kServer, kBoard, 9, 8, "port"));  // foreign port
  send(peerSocket, test::craftFrame(kServer, kBoard, 10, 8, "ahead"));    // skips one
  send(peerSocket, test::craftFrame(kServer, kBoard, 9, 8, "DATA"));
  const int length = exchangeFrame(channel_, state_, request_, answer_, 5000000, 1);
  EXPECT_EQ(length, 24);
  EXPECT_EQ(0, std::memcmp(framePayload(answer_), "DATA", 4));
  ::close(peerSocket);
  ::close(strangerSocket);
}

}  // namespace
}  // namespace vl
