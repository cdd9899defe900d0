// A board's side of an installation, as the install sequence drives the link: channels,
// discovery, start, every file, termination. Runs inside a board's network namespace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/transfer.h"

namespace vl::test {

struct BoardScript {
  std::string architecture = "mips";
  std::string model = "QL-TEST";
  Version minVersion = 0;
  std::string outDir;  // files are written here when set
  bool awaitTerm = true;
  // The console during the wait for TERM (its input ends the wait); -1: one that never
  // has input.
  int console = -1;
  // Stops before asking for file `pauseFile` (0-based) when pauseBytes < 0, or after
  // pauseBytes of it, writes a byte to pauseSignal and waits for a byte on pauseResume.
  int pauseFile = -1;
  std::int64_t pauseBytes = -1;
  int pauseSignal = -1;
  int pauseResume = -1;
};

struct ReceivedFile {
  std::string name;
  std::int32_t size = 0;
  std::int64_t received = 0;
  std::uint64_t checksum = 0;  // FNV-1a of the bytes received
};

struct BoardReport {
  int channels = 0;
  int chosen = -1;
  bool keep = false;
  std::string ownMac;
  std::string serverMac;
  bool started = false;
  std::vector<ReceivedFile> files;
  // "end", "link-failure", "read-failure", "no-channels" or "refused"
  std::string outcome;
  bool terminated = false;
};

BoardReport runBoard(const BoardScript& script);

// A report through a pipe or file, as text lines, for boards run in child processes.
std::string encodeReport(const BoardReport& report);
BoardReport decodeReport(const std::string& text);

std::uint64_t fnv1a(std::uint64_t hash, const std::uint8_t* bytes, std::size_t size);
inline constexpr std::uint64_t kFnvStart = 0xcbf29ce484222325ULL;

}  // namespace vl::test
