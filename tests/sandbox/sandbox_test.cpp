// The world that vl_sandbox_test builds: the board's paths are fresh, separate tmpfs
// mounts, so tests that rely on it (cross-device copies, clean trees) test what they say.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

namespace {

constexpr long kTmpfsMagic = 0x01021994;
const char* const kBoardPaths[] = {"/flash", "/ram", "/rw", "/tmp"};

TEST(Sandbox, BoardPathsAreSeparateFreshTmpfsMounts) {
  std::set<dev_t> devices;
  for (const char* path : kBoardPaths) {
    struct statfs fs {};
    ASSERT_EQ(statfs(path, &fs), 0) << path;
    EXPECT_EQ(static_cast<long>(fs.f_type), kTmpfsMagic) << path;
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    devices.insert(st.st_dev);
  }
  EXPECT_EQ(devices.size(), std::size(kBoardPaths));
}

TEST(Sandbox, RenameBetweenThemFailsWithExdev) {
  const int fd = open("/ram/file", O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_NE(rename("/ram/file", "/flash/file"), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_EQ(unlink("/ram/file"), 0);
}

TEST(Sandbox, TheHostIsOutOfReach) {
  // The root is the sandbox's own: nothing of the host's top level but what was bound.
  struct stat st {};
  EXPECT_NE(stat("/root", &st), 0);
  EXPECT_NE(stat("/home", &st), 0);
  // System directories are read-only (asked without writing, so that a run outside the
  // sandbox leaves nothing on the host).
  EXPECT_NE(access("/usr", W_OK), 0);
  EXPECT_EQ(errno, EROFS);
}

}  // namespace
