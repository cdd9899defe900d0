#include "tests/support/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vl::testing {
namespace {

namespace fs = std::filesystem;

// Listed whole before anything is removed from the directory.
std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; it != end; it.increment(error)) {
    names.push_back(it->path().filename());
  }
  return names;
}

void snapshotBelow(const std::string& dir, dev_t device, Tree& tree) {
  for (const std::string& name : namesIn(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_dev != device) continue;
    std::string value = std::to_string(st.st_mode) + " ";
    if (S_ISREG(st.st_mode)) value += readFile(path);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
      value.append(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    tree[path] = value;
    if (S_ISDIR(st.st_mode)) snapshotBelow(path, device, tree);
  }
}

}  // namespace

std::string readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<absent>";
  std::string text;
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return n < 0 ? "<absent>" : text;
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  const ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
  ASSERT_EQ(written, static_cast<ssize_t>(text.size())) << path;
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, mode_t mode) {
  writeFile(path, std::string(bytes.begin(), bytes.end()), mode);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void removeTree(const std::string& path) {
  std::error_code error;
  fs::remove_all(path, error);
}

void emptyDirectory(const std::string& path) {
  for (const std::string& name : namesIn(path)) removeTree(path + "/" + name);
}

void snapshotInto(const std::string& root, Tree& tree) {
  struct stat st {};
  if (::lstat(root.c_str(), &st) != 0) return;
  snapshotBelow(root, st.st_dev, tree);
}

TempDir::TempDir() {
  char pattern[] = "/tmp/vl-test-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  EXPECT_FALSE(path_.empty()) << "mkdtemp: " << std::strerror(errno);
}

TempDir::~TempDir() {
  if (!path_.empty()) removeTree(path_);
}

}  // namespace vl::testing
