// An installation world: the server (the real tarnwick program) in one namespace,
// boards in others, files in a temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/link/board_driver.h"
#include "tests/link/test_support.h"

namespace vl::test {

struct SourceFile {
  std::string path;
  std::string name;
  std::string bytes;
};

std::string readFile(const std::string& path);

class InstallWorld {
 public:
  InstallWorld();
  ~InstallWorld();

  NetWorld net;
  std::string dir;  // temporary directory of this world

  // A configuration script or a package file (architecture set) of about `size` bytes.
  SourceFile addScript(const std::string& name, std::size_t size);
  SourceFile addPackage(const std::string& name, const std::string& architecture, std::size_t size);

  // Starts tarnwick in `ns` with the arguments; its output goes to dir/server.log and
  // its events to dir/events.jsonl. Waits until it serves.
  bool startServer(const std::string& ns, const std::vector<std::string>& arguments);
  void killServer();
  int waitServer();  // exit status
  bool serverRunning() { return server_.running(); }
  std::string serverLog() const { return readFile(dir + "/server.log"); }
  std::vector<std::string> events() const;  // the "event" field of every line, in order

  // Runs a board driver in `ns`; finishBoard waits for it and returns its report.
  struct BoardRun {
    Child child;
    int reportFd = -1;
  };
  BoardRun startBoard(const std::string& ns, const BoardScript& script);
  BoardReport finishBoard(BoardRun& run);

 private:
  Child server_;
};

std::uint64_t checksumOf(const std::string& bytes);
std::string readFile(const std::string& path);

}  // namespace vl::test
