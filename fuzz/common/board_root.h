// For targets that read or stage files in the board's tree: "/flash", "/ram" and "/rw" as
// fresh, separate tmpfs mounts. A target started without them re-executes itself under
// bubblewrap with the host's top level bound read-only (the working directory and the
// directories on the command line writable, for corpus and crash files), so a path that
// escapes the board's tree still cannot change the host. Inputs run one after another
// in that root: with -jobs or -workers above 1 the processes would share it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "packages/board_queries.h"
#include "packages/journal.h"
#include "streams/stream.h"

namespace vl::fuzzing {

inline constexpr const char* kBoardPaths[] = {"/flash", "/ram", "/rw"};

// Call from LLVMFuzzerInitialize; returns only with the board's paths in place.
inline void enterBoardRoot(int argc, char** argv) {
  if (std::all_of(std::begin(kBoardPaths), std::end(kBoardPaths), [](const char* path) {
        struct statfs fs {};
        return ::statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
      })) {
    return;
  }
  char self[PATH_MAX] = {}, cwd[PATH_MAX] = {}, link[PATH_MAX] = {};
  DIR* root = ::opendir("/");
  if (std::getenv("VL_FUZZ_BOARD_ROOT") != nullptr || root == nullptr ||
      ::getcwd(cwd, sizeof cwd) == nullptr ||
      ::readlink("/proc/self/exe", self, PATH_MAX - 1) < 0) {
    std::fprintf(stderr, "fuzz target: no tmpfs /flash, /ram, /rw and no way to make them\n");
    std::exit(1);
  }
  std::vector<std::string> args = {"bwrap", "--die-with-parent", "--tmpfs", "/"};
  while (const dirent* entry = ::readdir(root)) {
    const std::string path = std::string("/") + entry->d_name;
    if (path == "/proc" || path == "/dev" || path == "/tmp" || path.starts_with("/.")) continue;
    if (const ssize_t n = ::readlink(path.c_str(), link, PATH_MAX - 1); n > 0) {
      args.insert(args.end(), {"--symlink", std::string(link, static_cast<std::size_t>(n)), path});
    } else if (entry->d_type == DT_DIR) {
      args.insert(args.end(), {"--ro-bind", path, path});
    }
  }
  ::closedir(root);
  args.insert(args.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--bind", cwd,
                           cwd, "--setenv", "VL_FUZZ_BOARD_ROOT", "1"});
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    char* real = ::realpath(argv[i], nullptr);
    if (real != nullptr && ::stat(real, &st) == 0 && S_ISDIR(st.st_mode)) {
      args.insert(args.end(), {"--bind", real, real});
    }
    std::free(real);
  }
  for (const char* path : kBoardPaths) args.insert(args.end(), {"--tmpfs", path});
  args.insert(args.end(), {"--chdir", cwd, "--", self});
  args.insert(args.end(), argv + 1, argv + argc);
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  ::execvp("bwrap", pointers.data());
  std::perror("fuzz target: bwrap");
  std::exit(1);
}

inline int removeEntry(const char* path, const struct stat*, int, FTW* at) {
  if (at->level > 0) (void)::remove(path);
  return 0;
}

// Empties the board's paths, so every input starts from the same tree.
inline void clearBoardPaths() {
  for (const char* path : kBoardPaths) (void)::nftw(path, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A path inside "/flash" that no ".." component leads out of; one that goes into a files
// list is also one line.
inline bool insideFlash(const std::string& path, bool listed) {
  if (!path.starts_with("/flash/") || (listed && path.find('\n') != std::string::npos)) {
    return false;
  }
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (path.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

// The whole file, its directories made first; any failure ends the run.
inline void writeFile(const std::string& path, std::string_view text) {
  createParentDirectories(path);
  FdStream out = FdStream::openWrite(path, O_CREAT | O_TRUNC, 0644);
  if (out.write(text.data(), text.size()) < 0 || !out.close()) std::abort();
}

// Where the product's console output goes.
inline int devNull() {
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

struct AnyBoard final : BoardQueries {
  Version boardMinVersion() const override { return 0; }
  bool boardHasFlag1000() const override { return false; }
  bool mtd0HasLargeEraseBlocks() const override { return false; }
};

}  // namespace vl::fuzzing
