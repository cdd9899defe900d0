// An installation world: the server (the real tarnwick program) in one namespace,
// boards in others, files in a temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/link/board_driver.h"
#include "tests/link/test_support.h"
#include "tests/support/files.h"

namespace vl::test {

using testing::readFile;

struct SourceFile {
  std::string path;
  std::string name;
  std::string bytes;
};

class InstallWorld {
 public:
  NetWorld net;
  testing::TempDir dir;

  // A configuration script or a package file for the boards of about `size` bytes.
  SourceFile addFile(const std::string& name, std::size_t size);

  // Starts tarnwick in `ns` with the arguments and these files; its output goes to
  // dir/server.log. Waits until it serves.
  bool startServer(const std::string& ns, std::vector<std::string> arguments,
                   const std::vector<SourceFile>& files);

  // The board's report, every file checked against `files` (byte for byte in outDir if given).
  void expectInstalled(const BoardReport& report, const std::string& outDir,
                       const std::vector<SourceFile>& files) const;

  // Declared last, so that it is killed before the namespaces and files go.
  Child server;
};

}  // namespace vl::test
