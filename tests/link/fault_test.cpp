// Installations through a wire that loses, repeats, delays and reorders frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "tests/link/install_world.h"
#include "tests/link/relay.h"

namespace vl {
namespace {

TEST(FaultyWire, EveryFileArrivesByteForByteWithLossDuplicationAndReordering) {
  for (std::uint32_t seed : {20261207u, 7u}) {
    SCOPED_TRACE(seed);
    test::InstallWorld world;
    for (const char* ns : {"srv", "relay", "board"})
      ASSERT_FALSE(world.net.addNamespace(ns).empty());
    ASSERT_TRUE(world.net.addVeth("board", "eth0", "02:00:00:00:01:01", "relay", "r0", ""));
    ASSERT_TRUE(world.net.addVeth("relay", "r1", "", "srv", "s0", "02:00:00:00:00:01"));
    const std::vector<test::SourceFile> files = {
        world.addFile("first.scr", 20000), world.addFile("system.vpk", 600000),
        world.addFile("empty.scr", 0), world.addFile("tail.vpk", 4076 * 4)};
    test::RelayFaults faults;
    faults.seed = seed;
    int stats[2];
    ASSERT_EQ(::pipe(stats), 0);
    test::Child relay =
        world.net.runIn("relay", [&]() { return test::runRelay("r0", "r1", faults, stats[1]); });
    ::close(stats[1]);
    ASSERT_TRUE(world.startServer("srv", {"-i", "s0", "--boards", "1", "--idle", "20"}, files));
    int console[2];
    ASSERT_EQ(::pipe(console), 0);
    const std::string out = world.dir / "out";
    ASSERT_TRUE(test::run("mkdir " + out));
    test::BoardRun board;
    test::startBoard(board, world.net, "board", out, console[0]);
    // Once the server has counted the board and gone, a key ends the board's wait in
    // case its last TERM was lost on the way.
    while (board.child.running() && world.server.running()) ::usleep(20000);
    if (!world.server.running()) {
      EXPECT_EQ(world.server.wait(), 0);
    }
    ASSERT_EQ(::write(console[1], "\n", 1), 1);
    world.expectInstalled(test::finishBoard(board), out, files);
    ::close(console[0]);
    ::close(console[1]);
    // The wire really was that bad: frames were lost, repeated and overtaken.
    relay.kill(SIGTERM);
    EXPECT_EQ(relay.wait(), 0);
    long forwarded = 0, dropped = 0, duplicated = 0, delayed = 0;
    char text[128] = {};
    (void)!::read(stats[0], text, sizeof text - 1);
    ::close(stats[0]);
    ASSERT_EQ(std::sscanf(text, "%ld %ld %ld %ld", &forwarded, &dropped, &duplicated, &delayed), 4);
    EXPECT_GT(dropped, forwarded / 20);
    EXPECT_GT(duplicated, 0);
    EXPECT_GT(delayed, 0);
  }
}

}  // namespace
}  // namespace vl
