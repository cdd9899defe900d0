// A board's side of an installation, as the install sequence drives the link: channels,
// discovery, start, every file into a directory, termination. Runs as a child in a
// board's network namespace; its report comes back through shared memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/link/test_support.h"

namespace vl::test {

struct ReceivedFile {
  char name[128] = {};
  std::int32_t size = 0;
  std::int64_t received = 0;
};

struct BoardReport {
  int chosen = -1;
  char ownMac[18] = {};
  char serverMac[18] = {};
  char outcome[16] = {};  // "end", "link-failure", "read-failure" or "no-channels"
  bool terminated = false;
  int fileCount = 0;
  ReceivedFile files[8];
};

// The board writes every file it gets into `outDir` (when given) and, after the last, waits for
// TERM or for input on `console` (-1: a console that never has any).
struct BoardRun {
  Child child;
  BoardReport* report = nullptr;
  ~BoardRun();
};
void startBoard(BoardRun& run, NetWorld& net, const std::string& ns, const std::string& outDir,
                int console = -1);
// Waits for the board; its report then.
const BoardReport& finishBoard(BoardRun& run);

}  // namespace vl::test
