// The board's paths for targets that read or stage files there: "/flash", "/ram" and "/rw"
// as fresh, separate tmpfs mounts. A target started without them re-executes itself
// under bubblewrap, with the host's top level bound read-only (the working directory and
// the directories named on the command line writable, for corpus and crash files), so a
// path that escapes the board's tree still cannot change the host.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vl::fuzzing {

inline constexpr const char* kBoardPaths[] = {"/flash", "/ram", "/rw"};

inline bool boardPathsReady() {
  for (const char* path : kBoardPaths) {
    struct statfs fs {};
    if (::statfs(path, &fs) != 0 || fs.f_type != TMPFS_MAGIC) return false;
  }
  return true;
}

inline void addTopLevel(std::vector<std::string>& args) {
  DIR* root = ::opendir("/");
  if (root == nullptr) return;
  while (const dirent* entry = ::readdir(root)) {
    const std::string name = entry->d_name, path = "/" + name;
    if (name == "." || name == ".." || name == "proc" || name == "dev" || name == "tmp") continue;
    if (name == "flash" || name == "ram" || name == "rw") continue;
    char target[PATH_MAX] = {};
    if (::readlink(path.c_str(), target, sizeof target - 1) > 0) {
      args.insert(args.end(), {"--symlink", target, path});
    } else if (entry->d_type == DT_DIR) {
      args.insert(args.end(), {"--ro-bind", path, path});
    }
  }
  ::closedir(root);
}

// Call from LLVMFuzzerInitialize. Returns only with the board's paths in place.
inline void enterBoardRoot(int argc, char** argv) {
  if (boardPathsReady()) return;
  char self[PATH_MAX] = {}, cwd[PATH_MAX] = {};
  if (std::getenv("VL_FUZZ_BOARD_ROOT") != nullptr || ::getcwd(cwd, sizeof cwd) == nullptr ||
      ::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    std::fprintf(stderr, "fuzz target: no tmpfs /flash, /ram, /rw and no way to make them\n");
    std::exit(1);
  }
  std::vector<std::string> args = {"bwrap", "--die-with-parent", "--tmpfs", "/"};
  addTopLevel(args);
  args.insert(args.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--bind", cwd,
                           cwd, "--setenv", "VL_FUZZ_BOARD_ROOT", "1"});
  for (int i = 1; i < argc; ++i) {
    char* real = ::realpath(argv[i], nullptr);
    struct stat st {};
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

}  // namespace vl::fuzzing
