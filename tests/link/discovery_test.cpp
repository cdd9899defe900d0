// The discovery handshake over loopback, against offers queued where the board reads them.
#include <gtest/gtest.h>
#include <unistd.h>

#include "link/server_link.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

const MacAddress kBoard = {0x02, 0, 0, 0, 0x01, 0x01};
const MacAddress kFirst = {0x02, 0, 0, 0, 0, 0x0A};
const MacAddress kSecond = {0x02, 0, 0, 0, 0, 0x0B};

struct OfferCase {
  const char* name;
  std::string payload;
  std::uint16_t sequence;
  std::uint16_t acknowledge;
  bool toAll;  // receiver field zero
  bool taken;
  bool keep;
};

// The first server's offer is the case's frame, the second's a plain one; each confirms.
// The board takes the first's offer, or drops it and takes the second's.
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
    const int server = test::udpSocket("127.0.0.2", kLinkPort, true);
    ASSERT_GE(server, 0);
    ServerLink link;
    link.channels.push_back(std::make_unique<NetChannel>());
    ASSERT_TRUE(test::loopbackChannel(*link.channels[0], "127.0.0.1", "127.0.0.2"));
    link.channels[0]->hardwareAddress = kBoard;
    test::sendToBoard(server, test::craftFrame(kFirst, c.toAll ? MacAddress{} : kBoard, c.sequence,
                                               c.acknowledge, c.payload));
    test::sendToBoard(server, test::craftFrame(kSecond, kBoard, 1, 0, "OFFR\nplain\n"));
    test::sendToBoard(server, test::craftFrame(kFirst, kBoard, 2, 1, ""));
    test::sendToBoard(server, test::craftFrame(kSecond, kBoard, 2, 1, ""));
    bool keep = !c.keep;
    ASSERT_TRUE(discoverServer(
        link, "mips", "t2", "t3", "QL-TEST", []() { return makeVersion(6, 49, 'f', 10); }, keep));
    EXPECT_EQ(formatMac(link.state.peerMac), c.taken ? "02:00:00:00:00:0A" : "02:00:00:00:00:0B");
    EXPECT_EQ(keep, c.keep);
    EXPECT_EQ(link.chosen, 0);
    EXPECT_EQ(link.state.sentSeq, 1u);
    EXPECT_EQ(link.state.recvSeq, 2u);
    EXPECT_EQ(test::takeRequests(server), (std::vector<std::string>{"1 DSCV", "1 YACK"}));
    ::close(server);
  }
}

}  // namespace
}  // namespace vl
