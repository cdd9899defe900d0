// tarnwick's sessions, driven frame by frame without a network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "tests/link/test_support.h"
#include "tests/support/files.h"
#include "tools/pellpkg/builder.h"
#include "tools/tarnwick/catalog.h"
#include "tools/tarnwick/output.h"
#include "tools/tarnwick/server.h"

namespace vl {
namespace {

using tarnwick::Event;
using tarnwick::Session;

const MacAddress kBoard = {0x02, 0, 0, 0, 0x01, 0x01};
const MacAddress kOther = {0x02, 0, 0, 0, 0x01, 0x02};
const MacAddress kServer = {0x02, 0, 0, 0, 0, 0x01};

class ServerTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) {
    testing::writeFile(work_ / name, bytes);
    return work_ / name;
  }

  std::string package(const std::string& name, const std::string& architecture) {
    pkgbuild::PackageSource source;
    source.name = name.substr(0, name.find('.'));
    source.version = makeVersion(6, 49, 'f', 10);
    source.architecture = architecture;
    const auto bytes = pkgbuild::buildPackage(source, pkgbuild::SignatureForm::None, {});
    return write(name, std::string(bytes->begin(), bytes->end()));
  }

  void start(const std::vector<std::string>& paths, tarnwick::ServerOptions options = {}) {
    std::string error;
    ASSERT_TRUE(catalog_.load(paths, error)) << error;
    server_ = std::make_unique<tarnwick::Server>(catalog_, options, [this](const Event& event) {
      const char* names[] = {"seen", "offered", "file_started", "file_done", "finished", "failed"};
      events_.push_back(names[event.kind] + (event.reason.empty() ? "" : ":" + event.reason));
    });
  }

  // The answer to one request, as it would go on the wire ("" when dropped).
  std::string send(const MacAddress& from, const MacAddress& to, std::uint16_t sequence,
                   const std::string& payload, int lengthSkew = 0, std::int64_t now = 1000) {
    test::CraftedFrame frame = test::craftFrame(from, to, sequence, 0, payload);
    const Session* session =
        server_->handle(0, kServer, frame.bytes, static_cast<int>(frame.size) + lengthSkew, now);
    if (session == nullptr) return "";
    return std::string(reinterpret_cast<const char*>(session->answer.data()), session->answerSize);
  }

  static std::string payloadOf(const std::string& answer) { return answer.substr(20); }
  static std::uint16_t sequenceOf(const std::string& answer) {
    return readLe16(reinterpret_cast<const std::uint8_t*>(answer.data()) + kSequenceOffset);
  }
  static std::uint16_t acknowledgeOf(const std::string& answer) {
    return readLe16(reinterpret_cast<const std::uint8_t*>(answer.data()) + kAcknowledgeOffset);
  }

  testing::TempDir work_;
  const std::string dir_ = work_.path();
  tarnwick::Catalog catalog_;
  std::unique_ptr<tarnwick::Server> server_;
  std::vector<std::string> events_;
};

const std::string kDiscovery = std::string("DSCV\n\n\nQL-TEST\nmips\n6.49\n6.49.10\n\0", 35);

TEST_F(ServerTest, WholeSessionWithRepeatsAnsweredByteForByte) {
  const std::string data(5000, 'x');
  tarnwick::ServerOptions options;
  options.keep = true;
  start({write("a.scr", data)}, options);
  const std::string offer = send(kBoard, {}, 1, kDiscovery);
  EXPECT_EQ(payloadOf(offer), "OFFR\ntarnwick\nkeep\n");
  EXPECT_EQ(sequenceOf(offer), 1);
  EXPECT_EQ(acknowledgeOf(offer), 0);
  EXPECT_EQ(0, std::memcmp(offer.data() + 6, kBoard.data(), 6));
  const std::string yack = send(kBoard, kServer, 1, "YACK\n");
  EXPECT_EQ(sequenceOf(yack), 2);
  EXPECT_EQ(acknowledgeOf(yack), 1);
  EXPECT_EQ(send(kBoard, kServer, 1, "YACK\n"), yack);
  EXPECT_EQ(send(kBoard, kServer, 3, "STRT"), "");  // skips a number
  EXPECT_EQ(send(kBoard, kServer, 2, "RETR"), "");  // not what comes next
  EXPECT_NE(send(kBoard, kServer, 2, "STRT"), "");
  const std::string header = send(kBoard, kServer, 3, "RETR");
  EXPECT_EQ(payloadOf(header), "FILE\na.scr\n5000\n");
  EXPECT_EQ(send(kBoard, kServer, 3, "RETR"), header);
  std::string received;
  std::uint16_t sequence = 4;
  for (;; ++sequence) {
    const std::string answer = send(kBoard, kServer, sequence, "RETR");
    ASSERT_EQ(sequenceOf(answer), sequence + 1);
    ASSERT_EQ(send(kBoard, kServer, sequence, "RETR"), answer);  // a lost answer, asked again
    if (payloadOf(answer).empty()) break;
    EXPECT_LE(payloadOf(answer).size(), kMaxPayload);
    received += payloadOf(answer);
  }
  EXPECT_EQ(received, data);
  EXPECT_EQ(payloadOf(send(kBoard, kServer, ++sequence, "RETR")).substr(0, 4), "END\n");
  const std::string term = send(kBoard, kServer, ++sequence, "WTRM");
  EXPECT_EQ(payloadOf(term).substr(0, 4), "TERM");
  EXPECT_EQ(send(kBoard, kServer, sequence, "WTRM"), term);
  EXPECT_EQ(server_->finished(), 1);
  EXPECT_EQ(events_,
            (std::vector<std::string>{"seen", "offered", "file_started", "file_done", "finished"}));
}

struct DropCase {
  const char* name;
  MacAddress from;
  MacAddress to;
  std::string payload;
  int lengthSkew;
};

TEST_F(ServerTest, DropsWhatItCannotPlace) {
  start({});
  const DropCase cases[] = {
      {"own frame heard back", kServer, {}, kDiscovery, 0},
      {"length field wrong", kBoard, {}, kDiscovery, 1},
      {"discovery sent to someone", kBoard, kServer, kDiscovery, 0},
      {"request from an unknown board", kOther, kServer, "YACK\n", 0},
      {"addressed to another server", kBoard, kOther, "YACK\n", 0},
  };
  ASSERT_NE(send(kBoard, {}, 1, kDiscovery), "");
  for (const DropCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(send(c.from, c.to, 1, c.payload, c.lengthSkew), "");
  }
}

// A board quiet for seconds (formatting, committing) keeps its session through a late
// copy of its discovery frame; one that started over repeats its discovery a second later
// and gets a fresh session then.
TEST_F(ServerTest, BoardThatRestartsDiscoveryStartsAfresh) {
  start({write("a.scr", "abc")});
  ASSERT_NE(send(kBoard, {}, 1, kDiscovery, 0, 1000), "");
  ASSERT_NE(send(kBoard, kServer, 1, "YACK\n", 0, 2000), "");
  ASSERT_NE(send(kBoard, kServer, 2, "STRT", 0, 6000), "");
  EXPECT_EQ(send(kBoard, {}, 1, kDiscovery, 0, 9'000'000), "");  // delivered late
  EXPECT_EQ(send(kBoard, {}, 1, kDiscovery, 0, 9'200'000), "");  // and twice
  ASSERT_NE(send(kBoard, kServer, 3, "RETR", 0, 9'300'000), "");
  EXPECT_EQ(send(kBoard, {}, 1, kDiscovery, 0, 12'000'000), "");
  ASSERT_NE(send(kBoard, {}, 1, kDiscovery, 0, 13'000'000), "");
  EXPECT_EQ(sequenceOf(send(kBoard, kServer, 1, "YACK\n")), 2);
  EXPECT_NE(send(kBoard, kServer, 2, "STRT"), "");
  EXPECT_EQ(payloadOf(send(kBoard, kServer, 3, "RETR")), "FILE\na.scr\n3\n");
  EXPECT_EQ(server_->failed(), 0);
  EXPECT_EQ(events_[3], "failed:restarted discovery");
}

// Discovery frames from 50,000 made-up addresses, about as many between two requests of
// the real board as a socket holds: the table stays bounded, one address is offered at
// most twice a second, the real board is served, and ended sessions are let go.
TEST_F(ServerTest, FloodOfDiscoveryFramesLeavesARealBoardServed) {
  start({write("a.scr", "abc")});
  std::int64_t now = 1000;
  std::uint32_t spoofed = 0;
  const auto flood = [&] {
    for (int i = 0; i < 300; ++i, ++spoofed, now += 10) {
      const MacAddress mac = {0x02,
                              0xee,
                              static_cast<std::uint8_t>(spoofed >> 16),
                              static_cast<std::uint8_t>(spoofed >> 8),
                              static_cast<std::uint8_t>(spoofed),
                              0};
      (void)send(mac, {}, 1, kDiscovery, 0, now);
    }
  };
  while (spoofed < 45'000) flood();
  ASSERT_NE(send(kBoard, {}, 1, kDiscovery, 0, now), "");
  EXPECT_EQ(send(kBoard, {}, 1, kDiscovery, 0, now + 400'000), "");
  flood();
  const char* requests[] = {"YACK\n", "STRT", "RETR", "RETR", "RETR", "RETR", "WTRM"};
  std::uint16_t sequence = 1;
  for (const char* request : requests) {
    ASSERT_NE(send(kBoard, kServer, sequence++, request, 0, now), "") << request;
    flood();
  }
  EXPECT_EQ(server_->finished(), 1);
  EXPECT_EQ(server_->sessions().size(), 1024u);
  server_->expire(now + 31'000'000);
  EXPECT_EQ(server_->sessions().size(), 1023u);
}

// Board texts reach the operator's terminal escaped, and the event log whatever bytes
// they hold.
TEST_F(ServerTest, BoardTextsAreShownEscaped) {
  start({});
  const std::string discovery =
      std::string("DSCV\n\n\nQL\x1b[2J\xff\xc2\x85\\\xc3\xa9\nmi\x07ps\n6.49\n6.49.10\n") + '\0';
  ASSERT_NE(send(kBoard, {}, 1, discovery), "");
  const Session& session = server_->sessions().begin()->second;
  const Event seen{Event::Seen, &session, {}, 0, 0, {}};
  EXPECT_EQ(tarnwick::describe(seen),
            "02:00:00:00:01:01 seen: model QL\\x1b[2J\\xff\\xc2\\x85\\x5c\xc3\xa9, "
            "architecture mi\\x07ps, accepts releases from 6.49");
  tarnwick::EventLog log;
  ASSERT_TRUE(log.open(dir_ + "/events"));
  log.write(seen);
  std::ifstream in(dir_ + "/events");
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.find("\"model\":\"QL\\u001b[2J\xef\xbf\xbd\xc2\x85\\\\\xc3\xa9\""),
            std::string::npos)
      << line;
}

// A file cut after the start-up check is never sent short: the board is given up.
TEST_F(ServerTest, FileThatShrankFailsTheBoard) {
  const std::string path = write("a.scr", std::string(9000, 'y'));
  start({path});
  ASSERT_NE(send(kBoard, {}, 1, kDiscovery), "");
  ASSERT_NE(send(kBoard, kServer, 1, "YACK\n"), "");
  ASSERT_NE(send(kBoard, kServer, 2, "STRT"), "");
  ASSERT_NE(send(kBoard, kServer, 3, "RETR"), "");
  ASSERT_EQ(::truncate(path.c_str(), 5000), 0);
  EXPECT_EQ(payloadOf(send(kBoard, kServer, 4, "RETR")).size(), kMaxPayload);
  EXPECT_EQ(send(kBoard, kServer, 5, "RETR"), "");
  EXPECT_EQ(server_->failed(), 1);
}

struct CatalogCase {
  const char* name;
  std::string fileName;
  std::string bytes;
  off_t sparseSize;  // set after writing when not 0
  bool accepted;
};

TEST_F(ServerTest, CatalogRefusesWhatTheBoardCannotTake) {
  const CatalogCase cases[] = {
      {"name of 31 bytes", std::string(27, 'n') + ".scr", "x", 0, true},
      {"name of 32 bytes", std::string(28, 'n') + ".scr", "x", 0, false},
      {"not a package", "notes.vpk", "plain text", 0, false},
      {"one byte more than a signed 32-bit size", "big.scr", "", 0x80000000LL, false},
  };
  for (const CatalogCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(c.fileName, c.bytes);
    ASSERT_TRUE(c.sparseSize == 0 || ::truncate(path.c_str(), c.sparseSize) == 0);
    tarnwick::Catalog catalog;
    std::string error;
    EXPECT_EQ(catalog.load({path}, error), c.accepted);
    EXPECT_EQ(error.find(c.fileName) != std::string::npos, !c.accepted) << error;
  }
}

// A bundle goes where its members' architecture does.
TEST_F(ServerTest, PackagesForOtherArchitecturesAreLeftOut) {
  pkgbuild::BundleSource bundle;
  bundle.header.name = "bundle";
  bundle.members.resize(1);
  bundle.members[0].name = "member";
  bundle.members[0].architecture = "mips";
  const auto bytes = pkgbuild::buildBundle(bundle, pkgbuild::SignatureForm::None, {});
  start({write("a.scr", "s"), package("m.vpk", "mips"), package("s.vpk", "smips"),
         package("n.vpk", ""), write("b.vpk", std::string(bytes->begin(), bytes->end()))});
  struct {
    const char* architecture;
    bool filter;
    std::size_t files;
  } cases[] = {{"mips", true, 3}, {"smips", true, 2}, {"arm", true, 1}, {"arm", false, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.architecture);
    EXPECT_EQ(catalog_.filesFor(c.architecture, c.filter).size(), c.files);
  }
}

}  // namespace
}  // namespace vl
