// The transfer commands over loopback, against answers queued where the board reads them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "link/transfer.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

const MacAddress kBoard = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
const MacAddress kServer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x05};

// A link as the handshake leaves it: request 1 (YACK) sent, answer 2 accepted. The
// server's end is a socket on 127.0.0.2:5000.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto channel = std::make_unique<NetChannel>();
    ASSERT_TRUE(test::loopbackChannel(*channel, "127.0.0.1", "127.0.0.2"));
    link_.channels.push_back(std::move(channel));
    link_.chosen = 0;
    link_.state = LinkState{1, 2, kBoard, kServer};
    server_ = test::udpSocket("127.0.0.2", kLinkPort, true);
    ASSERT_GE(server_, 0);
    const int room = 1 << 20;  // every one of the tries is kept
    ASSERT_EQ(::setsockopt(server_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room), 0);
  }
  void TearDown() override { ::close(server_); }

  // The server's answers to the next requests, numbered as it numbers them.
  void answer(const std::vector<std::string>& answers) {
    std::uint16_t request = static_cast<std::uint16_t>(link_.state.sentSeq + 1);
    for (const std::string& text : answers) {
      test::sendToBoard(server_,
                        test::craftFrame(kServer, kBoard, static_cast<std::uint16_t>(request + 1),
                                         request, text));
      ++request;
    }
  }

  ServerLink link_;
  int server_ = -1;
};

struct HeaderCase {
  std::string answer;
  NextFile result;
  std::string name;
  std::int32_t size;
};

TEST_F(TransferTest, FileHeaderAnswers) {
  const HeaderCase cases[] = {
      {"FILE\nsystem.vpk\n12\n", NextFile::File, "system.vpk", 12},
      {"FILE\nneg.vpk\n-5\n", NextFile::EndOfList, "", 0},
      {"DONE\nx.vpk\n1\n", NextFile::EndOfList, "", 0},
      {"", NextFile::EndOfList, "", 0},
      {"FILE\nno-line-end", NextFile::EndOfList, "", 0},
      {"FILE", NextFile::EndOfList, "", 0},
      {"FILEXY\nfirst-four.vpk\n7\n", NextFile::File, "first-four.vpk", 7},
      {"FILE\nblank.vpk\n  +42xyz\n", NextFile::File, "blank.vpk", 42},
      {"FILE\nnodigits.vpk\nabc\n", NextFile::File, "nodigits.vpk", 0},
      {"FILE\nhuge.vpk\n99999999999\n", NextFile::File, "huge.vpk", INT32_MAX},
      {"FILE\n" + std::string(100, 'n') + "\n3\n", NextFile::File, std::string(80, 'n'), 3},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.answer);
    answer({c.answer});
    EXPECT_EQ(requestNextFile(link_), c.result);
    ASSERT_TRUE(link_.fileStream);
    EXPECT_EQ(link_.fileStream->name, c.name);
    EXPECT_EQ(link_.fileStream->size, c.size);
    EXPECT_EQ(test::takeRequests(server_).size(), 1u);
  }
}

// Silence is a lost server, not the end of the list: the installer must not go on
// to report a successful installation of half the files.
TEST_F(TransferTest, SilentServerIsALinkFailureNotTheEndOfTheList) {
  EXPECT_EQ(requestNextFile(link_), NextFile::LinkFailure);
  EXPECT_EQ(test::takeRequests(server_), std::vector<std::string>(300, "2 RETR"));
}

}  // namespace
}  // namespace vl
