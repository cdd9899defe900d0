// Files and trees for tests: reading and writing whole files, removing trees, private
// temporary directories and snapshots that show whether anything on a tree changed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vl::testing {

// The whole file, or "<absent>" when it cannot be read.
std::string readFile(const std::string& path);
// Creates the parent directories as needed; a failure fails the running test.
void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, mode_t mode = 0644);
bool exists(const std::string& path);
// Removes path and everything below it; a missing path is no error.
void removeTree(const std::string& path);
// Removes everything below path and keeps path itself.
void emptyDirectory(const std::string& path);

// Every path below root with its type and permissions, and the contents of a file or
// the target of a link. It stays on root's own file system (the sandbox may mount the
// build tree below /tmp). Two equal snapshots mean nothing was created, changed or left.
using Tree = std::map<std::string, std::string>;
void snapshotInto(const std::string& root, Tree& tree);

// A fresh directory under /tmp, removed with everything in it when it goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vl::testing
