// Whole installations over veth segments: the real tarnwick in one namespace, boards
// driving the link as the install sequence does in others.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tests/link/install_world.h"

namespace vl {
namespace {

using test::BoardReport;
using test::BoardScript;
using test::InstallWorld;
using test::SourceFile;

const char* kServerMac = "02:00:00:00:00:01";

void expectFiles(const BoardReport& report, const std::vector<SourceFile>& files,
                 const std::string& outDir = "") {
  ASSERT_EQ(report.files.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].name);
    EXPECT_EQ(report.files[i].name, files[i].name);
    EXPECT_EQ(report.files[i].size, static_cast<std::int32_t>(files[i].bytes.size()));
    EXPECT_EQ(report.files[i].received, static_cast<std::int64_t>(files[i].bytes.size()));
    EXPECT_EQ(report.files[i].checksum, test::checksumOf(files[i].bytes));
    if (!outDir.empty()) {
      EXPECT_TRUE(test::readFile(outDir + "/" + files[i].name) == files[i].bytes);
    }
  }
}

std::vector<std::string> paths(const std::vector<SourceFile>& files) {
  std::vector<std::string> result;
  for (const SourceFile& file : files) result.push_back(file.path);
  return result;
}

// The server's namespace "srv" wired straight to a board namespace "board" (eth0 - s0).
void pointToPoint(InstallWorld& world) {
  ASSERT_FALSE(world.net.addNamespace("srv").empty());
  ASSERT_FALSE(world.net.addNamespace("board").empty());
  ASSERT_TRUE(world.net.addVeth("board", "eth0", "02:00:00:00:01:01", "srv", "s0", kServerMac));
}

// A bridge br0 in "srv" that carries the server's address, and one namespace per
// (name, MAC) with its eth0 on the bridge.
void bridged(InstallWorld& world, const std::vector<std::pair<std::string, std::string>>& boards) {
  ASSERT_FALSE(world.net.addNamespace("srv").empty());
  ASSERT_TRUE(world.net.addBridge("srv", "br0"));
  ASSERT_TRUE(
      test::run("ip -n " + world.net.fullName("srv") + " link set br0 address " + kServerMac));
  for (const auto& [ns, mac] : boards) {
    ASSERT_FALSE(world.net.addNamespace(ns).empty());
    ASSERT_TRUE(world.net.addVeth(ns, "eth0", mac, "srv", "p" + ns, ""));
    ASSERT_TRUE(world.net.attach("srv", "p" + ns, "br0"));
  }
}

int receiveFrame(int fd, FrameBuffer& frame, int timeoutMillis) {
  timeval timeout{timeoutMillis / 1000, (timeoutMillis % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return static_cast<int>(::recv(fd, frame.data(), frame.size(), 0));
}

std::string payloadText(const FrameBuffer& frame) {
  return std::string(reinterpret_cast<const char*>(framePayload(frame)), frameLength(frame));
}

TEST(Installation, DiscoveryOnEveryInterfaceAndTheOfferTakenOnTheSecond) {
  InstallWorld world;
  for (const char* ns : {"srv", "board", "dead"}) ASSERT_FALSE(world.net.addNamespace(ns).empty());
  ASSERT_TRUE(
      world.net.addVeth("board", "eth0", "02:00:00:00:01:01", "dead", "d0", "02:00:00:00:0d:01"));
  ASSERT_TRUE(world.net.addVeth("board", "eth1", "02:00:00:00:01:02", "srv", "s0", kServerMac));
  const std::vector<SourceFile> files = {world.addScript("config.scr", 300),
                                         world.addPackage("system.vpk", "mips", 100000)};
  // What the first interface's segment hears: DSCV frames from the board's eth0.
  test::Child listener = world.net.runIn("dead", []() {
    const int fd = test::deviceSocket("d0", kLinkPort);
    FrameBuffer frame;
    int discoveries = 0;
    while (receiveFrame(fd, frame, 1500) > 0) {
      const std::string text = payloadText(frame);
      if (frameSender(frame) == test::parseMac("02:00:00:00:01:01") &&
          text.rfind("DSCV\n", 0) == 0 &&
          text.find("\nQL-TEST\nmips\n0.0\n6.49.10\n") != std::string::npos &&
          text.back() == '\0') {
        ++discoveries;
      }
    }
    return discoveries > 0 ? 0 : 1;
  });
  ASSERT_TRUE(
      world.startServer("srv", {"-i", "s0", "--boards", "1", files[0].path, files[1].path}));
  BoardScript script;
  script.outDir = world.dir + "/out";
  ASSERT_TRUE(test::run("mkdir " + script.outDir));
  auto board = world.startBoard("board", script);
  const BoardReport report = world.finishBoard(board);
  EXPECT_EQ(report.channels, 2);
  EXPECT_EQ(report.chosen, 1);
  EXPECT_EQ(report.ownMac, "02:00:00:00:01:02");
  EXPECT_EQ(report.serverMac, kServerMac);
  EXPECT_FALSE(report.keep);
  EXPECT_EQ(report.outcome, "end");
  EXPECT_TRUE(report.terminated);
  expectFiles(report, files, script.outDir);
  EXPECT_EQ(world.waitServer(), 0);
  EXPECT_EQ(listener.wait(), 0);
  EXPECT_EQ(world.events(),
            (std::vector<std::string>{"seen", "offered", "file_started", "file_done",
                                      "file_started", "file_done", "finished"}));
}

// Boards on one bridge with the server: every answer is a broadcast that every board
// hears, so each must pick out its own.
TEST(Installation, ThreeBoardsAtOnceEachGetsEveryFileByteForByte) {
  InstallWorld world;
  bridged(world,
          {{"b1", "02:00:00:00:02:01"}, {"b2", "02:00:00:00:02:02"}, {"b3", "02:00:00:00:02:03"}});
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<SourceFile> files = {
      world.addScript("first.scr", 5000), world.addPackage("system.vpk", "mips", 300000),
      world.addScript("empty.scr", 0), world.addPackage("extra.vpk", "mips", 4076 * 3)};
  std::vector<std::string> arguments = {"-i", "br0", "--boards", "3"};
  for (const std::string& path : paths(files)) arguments.push_back(path);
  ASSERT_TRUE(world.startServer("srv", arguments));
  std::vector<InstallWorld::BoardRun> boards;
  for (int i = 1; i <= 3; ++i) {
    BoardScript script;
    script.outDir = world.dir + "/out" + std::to_string(i);
    ASSERT_TRUE(test::run("mkdir " + script.outDir));
    boards.push_back(world.startBoard("b" + std::to_string(i), script));
  }
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    const BoardReport report = world.finishBoard(boards[static_cast<std::size_t>(i - 1)]);
    EXPECT_EQ(report.outcome, "end");
    EXPECT_TRUE(report.terminated);
    expectFiles(report, files, world.dir + "/out" + std::to_string(i));
  }
  EXPECT_EQ(world.waitServer(), 0);
}

// A server that offers and then never answers the confirmation: the board sends the
// identical YACK five times, then looks for a server again and takes the next one.
TEST(Installation, BoardGivesUpAnUnconfirmedOfferAfterFiveTries) {
  InstallWorld world;
  pointToPoint(world);
  ASSERT_FALSE(HasFatalFailure());
  int logPipe[2];
  ASSERT_EQ(::pipe(logPipe), 0);
  test::Child fake = world.net.runIn("srv", [&]() {
    ::close(logPipe[0]);
    const int fd = test::deviceSocket("s0", kLinkPort);
    const MacAddress own = test::parseMac(kServerMac);
    FrameBuffer frame;
    int yacks = 0;
    while (receiveFrame(fd, frame, 10000) > 0) {
      if (frameSender(frame) == own) continue;
      const std::string text = payloadText(frame).substr(0, 4);
      const std::string line = text + " " + std::to_string(frameSequence(frame)) + "\n";
      (void)!::write(logPipe[1], line.data(), line.size());
      if (text == "DSCV" && yacks > 0) return 0;  // looking again: the real server takes over
      if (text == "DSCV")
        test::broadcast(fd, test::craftFrame(own, frameSender(frame), 1, 0, "OFFR\nfake\n"));
      if (text == "YACK") ++yacks;
    }
    return 1;
  });
  ::close(logPipe[1]);
  auto board = world.startBoard("board", BoardScript{});
  EXPECT_EQ(fake.wait(), 0);
  const std::vector<SourceFile> files = {world.addScript("a.scr", 100)};
  ASSERT_TRUE(world.startServer("srv", {"-i", "s0", "--boards", "1", files[0].path}));
  const BoardReport report = world.finishBoard(board);
  EXPECT_EQ(report.outcome, "end");
  expectFiles(report, files);
  std::string log;
  char buffer[512];
  ssize_t got = 0;
  while ((got = ::read(logPipe[0], buffer, sizeof buffer)) > 0)
    log.append(buffer, static_cast<std::size_t>(got));
  ::close(logPipe[0]);
  const std::size_t firstYack = log.find("YACK");
  ASSERT_NE(firstYack, std::string::npos);
  EXPECT_EQ(log.substr(firstYack), "YACK 1\nYACK 1\nYACK 1\nYACK 1\nYACK 1\nDSCV 1\n");
}

struct KillCase {
  const char* name;
  std::int64_t pauseBytes;  // < 0: between files
  const char* outcome;
  std::size_t filesSeen;
};

// The server dies: in the middle of a file the board's read fails after its tries; between
// two files the board sees a link failure, never a finished list.
TEST(Installation, ServerKilledMidFileOrBetweenFiles) {
  const KillCase cases[] = {
      {"between files", -1, "link-failure", 1},
      {"in the middle of a file", 8152, "read-failure", 2},
  };
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.name);
    InstallWorld world;
    pointToPoint(world);
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<SourceFile> files = {world.addScript("a.scr", 100),
                                           world.addPackage("system.vpk", "mips", 100000)};
    ASSERT_TRUE(world.startServer("srv", {"-i", "s0", files[0].path, files[1].path}));
    int signal[2];
    int resume[2];
    ASSERT_EQ(::pipe(signal), 0);
    ASSERT_EQ(::pipe(resume), 0);
    BoardScript script;
    script.pauseFile = 1;
    script.pauseBytes = c.pauseBytes;
    script.pauseSignal = signal[1];
    script.pauseResume = resume[0];
    auto board = world.startBoard("board", script);
    char byte = 0;
    ASSERT_EQ(::read(signal[0], &byte, 1), 1);
    world.killServer();
    ASSERT_EQ(::write(resume[1], "g", 1), 1);
    const BoardReport report = world.finishBoard(board);
    EXPECT_EQ(report.outcome, c.outcome);
    EXPECT_EQ(report.files.size(), c.filesSeen);
    EXPECT_FALSE(report.terminated);
    for (int fd : {signal[0], signal[1], resume[0], resume[1]}) ::close(fd);
  }
}

// More than 65535 frames each way: both ends number modulo 65536.
TEST(Installation, TransferOfMoreThan65535Frames) {
  InstallWorld world;
  pointToPoint(world);
  ASSERT_FALSE(HasFatalFailure());
  SourceFile big{world.dir + "/big.scr", "big.scr",
                 std::string(std::size_t{70000} * kMaxPayload + 123, '\0')};
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (char& c : big.bytes) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    c = static_cast<char>(state >> 56);
  }
  {
    std::FILE* out = std::fopen(big.path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(big.bytes.data(), 1, big.bytes.size(), out), big.bytes.size());
    std::fclose(out);
  }
  ASSERT_TRUE(world.startServer("srv", {"-i", "s0", "--boards", "1", big.path}));
  auto board = world.startBoard("board", BoardScript{});
  const BoardReport report = world.finishBoard(board);
  EXPECT_EQ(report.outcome, "end");
  EXPECT_TRUE(report.terminated);
  expectFiles(report, {big});
  EXPECT_EQ(world.waitServer(), 0);
}

}  // namespace
}  // namespace vl
