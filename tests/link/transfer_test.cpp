// The transfer commands against a scripted server over loopback.
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

class PrivateNetwork : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(test::enterPrivateNetwork()); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

// A link as the handshake leaves it: request 1 (YACK) sent, answer 2 accepted.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto channel = std::make_unique<NetChannel>();
    ASSERT_TRUE(test::loopbackChannel(*channel, "127.0.0.1", "127.0.0.2"));
    link_.channels.push_back(std::move(channel));
    link_.chosen = 0;
    link_.state = LinkState{1, 2, kBoard, kServer};
  }

  test::PeerRun startServer(std::vector<std::string> answers, int idleMillis = 200) {
    test::ScriptedPeer script;
    script.ownMac = kServer;
    script.boardMac = kBoard;
    script.answers = std::move(answers);
    script.idleMillis = idleMillis;
    return test::startPeer(script, "127.0.0.2");
  }

  ServerLink link_;
};

TEST_F(TransferTest, StartTakesAnyAnswerEvenAnEmptyOne) {
  test::PeerRun server = startServer({""});
  EXPECT_TRUE(startInstall(link_));
  EXPECT_EQ(server.finish(), std::vector<std::string>{"2 STRT"});
}

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
  std::uint32_t sequence = link_.state.sentSeq;
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.answer);
    // A fresh server per case, numbered where the last one stopped.
    test::PeerRun server = startServer({c.answer}, 100);
    EXPECT_EQ(requestNextFile(link_), c.result);
    ASSERT_TRUE(link_.fileStream);
    EXPECT_EQ(link_.fileStream->name, c.name);
    EXPECT_EQ(link_.fileStream->size, c.size);
    EXPECT_EQ(link_.state.sentSeq, ++sequence);
    EXPECT_EQ(server.finish().size(), 1u);
  }
}

TEST_F(TransferTest, ChunkIsHandedOutOverSeveralCallsBeforeTheNextRequest) {
  std::string chunk(kMaxPayload, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7 + 3);
  test::PeerRun server = startServer({"FILE\nchunk.vpk\n4076\n", chunk, ""});
  ASSERT_EQ(requestNextFile(link_), NextFile::File);
  std::string received;
  std::vector<int> counts;
  std::uint8_t buffer[4096];
  int count = 0;
  while ((count = readFileData(*link_.fileStream, buffer, 1000)) > 0) {
    counts.push_back(count);
    received.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
  }
  EXPECT_EQ(count, 0);
  EXPECT_EQ(counts, (std::vector<int>{1000, 1000, 1000, 1000, 76}));
  EXPECT_EQ(received, chunk);
  EXPECT_EQ(server.finish(), (std::vector<std::string>{"2 RETR", "3 RETR", "4 RETR"}));
}

TEST_F(TransferTest, EmptyFileEndsWithTheFirstDataAnswer) {
  test::PeerRun server = startServer({"FILE\nempty.scr\n0\n", ""});
  ASSERT_EQ(requestNextFile(link_), NextFile::File);
  EXPECT_EQ(link_.fileStream->size, 0);
  std::uint8_t buffer[4096];
  EXPECT_EQ(readFileData(*link_.fileStream, buffer, 4096), 0);
  EXPECT_EQ(server.finish().size(), 2u);
}

// Silence is a lost server, not the end of the list: the installer must not go on
// to report a successful installation of half the files.
TEST_F(TransferTest, SilentServerIsALinkFailureNotTheEndOfTheList) {
  test::PeerRun server = startServer({}, 500);
  EXPECT_EQ(requestNextFile(link_), NextFile::LinkFailure);
  const std::vector<std::string> log = server.finish();
  EXPECT_EQ(log.size(), static_cast<std::size_t>(kTransferTries));
  for (const std::string& line : log) EXPECT_EQ(line, "2 RETR");
}

// awaitTermination watches descriptor 0: each case runs in a child whose console is a
// pipe that the test controls.
struct Console {
  int fds[2] = {-1, -1};
  Console() { EXPECT_EQ(::pipe(fds), 0); }
  ~Console() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
};

void sendToBoard(const test::CraftedFrame& frame) {
  const int socket = test::udpSocket("127.0.0.2", kLinkPort, false);
  ASSERT_GE(socket, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kLinkPort);
  to.sin_addr.s_addr = htonl(0x7F000001);
  ASSERT_GT(::sendto(socket, frame.bytes.data(), frame.size, 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to),
            0);
  ::close(socket);
}

TEST_F(TransferTest, TerminationWaitIgnoresOtherAnswersUntilTerm) {
  link_.state = LinkState{20, 21, kBoard, kServer};
  sendToBoard(test::craftFrame(kServer, kBoard, 22, 21, "WAIT"));
  sendToBoard(test::craftFrame(kServer, kBoard, 23, 21, "TERM and more"));
  Console console;
  test::Child board = test::spawn([&]() {
    ::alarm(20);  // a wait that never ends fails the test instead of hanging it
    ::dup2(console.fds[0], 0);
    awaitTermination(link_);
    return link_.state.recvSeq == 23 ? 0 : 1;
  });
  EXPECT_EQ(board.wait(), 0);
}

TEST_F(TransferTest, TerminationWaitEndsOnConsoleInputLeftUnread) {
  Console console;
  ASSERT_EQ(::write(console.fds[1], "\n", 1), 1);
  test::Child board = test::spawn([&]() {
    ::alarm(20);  // a wait that never ends fails the test instead of hanging it
    ::dup2(console.fds[0], 0);
    awaitTermination(link_);
    char key = 0;
    return ::read(0, &key, 1) == 1 && key == '\n' ? 0 : 1;
  });
  EXPECT_EQ(board.wait(), 0);
}

TEST_F(TransferTest, TerminationWaitResendsTheSameWtrmUntilAnswered) {
  test::ScriptedPeer script;
  script.ownMac = kServer;
  script.boardMac = kBoard;
  script.answers = {"TERM"};
  script.ignoreFirst = 1;
  script.idleMillis = 1500;
  test::PeerRun server = test::startPeer(script, "127.0.0.2");
  Console console;
  test::Child board = test::spawn([&]() {
    ::alarm(20);  // a wait that never ends fails the test instead of hanging it
    ::dup2(console.fds[0], 0);
    awaitTermination(link_);
    return 0;
  });
  EXPECT_EQ(board.wait(), 0);
  EXPECT_EQ(server.finish(), (std::vector<std::string>{"2 WTRM", "2 WTRM"}));
}

}  // namespace
}  // namespace vl
