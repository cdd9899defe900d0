// Kept configuration: trees copied into memory, written back after the old tree is gone,
// and the package choices of the old database. Runs in the sandbox (fresh /tmp, /flash).
#include "installer/snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace vl {
namespace {

namespace fs = std::filesystem;

void makeFile(const std::string& path, std::size_t size, mode_t mode, uid_t owner) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream(path, std::ios::binary) << bytes;
  ASSERT_EQ(chown(path.c_str(), owner, owner + 1), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void makeDirectory(const std::string& path, mode_t mode, uid_t owner) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chown(path.c_str(), owner, owner + 1), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// Names in listing order, so a test can place its bulk where the snapshot meets it first.
std::vector<std::string> listing(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename());
  return names;
}

// Sets the same odd times on every entry, deepest first, so no later change hides them.
void stampTimes(const std::string& path) {
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  if (S_ISDIR(st.st_mode)) {
    for (const auto& name : listing(path)) stampTimes(path + "/" + name);
  }
  const timespec times[2] = {{1000001, 0}, {2000002, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// The restored tree at path matches the original moved to original: kinds, modes, owners,
// times and bytes; pipes are not expected back.
void expectSameTree(const std::string& original, const std::string& path) {
  struct stat was {
  }, now{};
  ASSERT_EQ(stat(original.c_str(), &was), 0);
  if (S_ISFIFO(was.st_mode)) {
    EXPECT_NE(lstat(path.c_str(), &now), 0) << path;
    return;
  }
  ASSERT_EQ(stat(path.c_str(), &now), 0) << path;
  EXPECT_EQ(now.st_mode, was.st_mode) << path;
  EXPECT_EQ(now.st_uid, was.st_uid) << path;
  EXPECT_EQ(now.st_gid, was.st_gid) << path;
  EXPECT_EQ(now.st_atime, 1000001) << path;
  EXPECT_EQ(now.st_mtime, 2000002) << path;
  if (S_ISREG(was.st_mode)) {
    EXPECT_TRUE(testing::readFile(path) == testing::readFile(original)) << path;
  }
  if (!S_ISDIR(was.st_mode)) return;
  const auto names = listing(original);
  EXPECT_EQ(listing(path).size() + fs::exists(original + "/pipe"), names.size()) << path;
  for (const auto& name : names) expectSameTree(original + "/" + name, path + "/" + name);
}

// Snapshot, move the original away (the root must not exist when restored), restore.
void roundTrip(const std::string& root) {
  stampTimes(root);
  TreeSnapshotPtr snapshot = snapshotTree(root);
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(rename(root.c_str(), (root + ".was").c_str()), 0);
  ASSERT_TRUE(restoreTree(std::move(snapshot)));
  expectSameTree(root + ".was", root);
}

// A file alone, of a whole chunk after its short path; a tree with a pipe.
TEST(Snapshot, FileAndTreeComeBackWithModesOwnersTimesAndWithoutAPipe) {
  makeFile("/tmp/f", 16000, 0640, 3);
  roundTrip("/tmp/f");
  makeDirectory("/tmp/store", 0751, 10);
  makeDirectory("/tmp/store/empty", 0705, 20);
  makeFile("/tmp/store/empty-file", 0, 0604, 30);
  makeFile("/tmp/store/setuid", 100, 04711, 40);
  ASSERT_EQ(mkfifo("/tmp/store/pipe", 0600), 0);
  makeDirectory("/tmp/store/sub", 0700, 50);
  makeFile("/tmp/store/sub/deep", 40000, 0600, 60);
  roundTrip("/tmp/store");
}

TEST(Snapshot, PathThatDoesNotFitTheRestOfAChunkGetsItsOwn) {
  // Two long names: the first listed fills the first chunk to one byte short of the
  // second's path and its zero (211 bytes), so that path cannot fit there.
  makeDirectory("/tmp/long", 0755, 0);
  makeFile("/tmp/long/" + std::string(200, 'a'), 0, 0644, 0);
  makeFile("/tmp/long/" + std::string(200, 'b'), 0, 0644, 0);
  const std::string first = "/tmp/long/" + listing("/tmp/long")[0];
  const std::size_t used = sizeof "/tmp/long" + 2 * sizeof(struct stat) + first.size() + 1;
  makeFile(first, 16000 - used - 210, 0644, 0);
  roundTrip("/tmp/long");
}

// A snapshot fails whole for what cannot be copied; a restore where the tree cannot be
// written.
TEST(Snapshot, FailsWholeForWhatCannotBeCopiedOrWritten) {
  ASSERT_EQ(mkdir("/tmp/dangling", 0755), 0);
  makeFile("/tmp/dangling/file", 10, 0644, 0);
  ASSERT_EQ(symlink("/tmp/nowhere", "/tmp/dangling/link"), 0);
  // A /proc file reports size 0 but yields bytes: a file that changed while read.
  for (const char* path : {"/tmp/missing", "/proc/self/status", "/tmp/dangling"}) {
    EXPECT_FALSE(snapshotTree(path)) << path;
  }
  makeDirectory("/tmp/exists", 0755, 0);
  EXPECT_FALSE(restoreTree(snapshotTree("/tmp/exists")));

  // A full disk: the file was taken from a larger file system at the same place.
  ASSERT_EQ(mkdir("/tmp/disk", 0755), 0);
  ASSERT_EQ(mount("big", "/tmp/disk", "tmpfs", 0, "size=1m"), 0);
  makeFile("/tmp/disk/file", 300000, 0644, 0);
  TreeSnapshotPtr snapshot = snapshotTree("/tmp/disk/file");
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(umount("/tmp/disk"), 0);
  ASSERT_EQ(mount("small", "/tmp/disk", "tmpfs", 0, "size=64k"), 0);
  EXPECT_FALSE(restoreTree(std::move(snapshot)));
  EXPECT_EQ(umount("/tmp/disk"), 0);
}

TEST(PackageChoices, OnlyEnabledAndUserDisabledPackagesAreKept) {
  struct Case {
    std::string name;
    const char* enabled;   // contents, or none for no file
    const char* disabled;  // contents, or none
  };
  const std::string cut(112, 'p');  // "/flash/var/pdb/" and this fill 127 bytes
  const Case cases[] = {
      {"on", "", nullptr},
      {"off", nullptr, "user\n"},
      {"auto", nullptr, "auto\n"},
      {"neither", nullptr, nullptr},
      {".hidden", "", nullptr},
      {"both", "", "user\n"},
      {"users", nullptr, "username"},
      {"use", nullptr, "use"},
      {cut, nullptr, "auto\n"},
  };
  fs::create_directories("/flash/var/pdb");
  for (const Case& c : cases) {
    const std::string dir = "/flash/var/pdb/" + c.name;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    if (c.enabled) std::ofstream(dir + "/enabled") << c.enabled;
    if (c.disabled) std::ofstream(dir + "/disabled") << c.disabled;
  }
  UserChoices choices{{"stale", {"stale", true}}};
  readPackageChoices(choices);
  std::vector<std::string> seen;
  for (const auto& [name, choice] : choices) {
    EXPECT_EQ(choice.name, name);
    seen.push_back(name + (choice.disabled ? " disabled" : " enabled"));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"both enabled", "off disabled", "on enabled",
                                            "users disabled"}));
  fs::remove_all("/flash/var");
}

}  // namespace
}  // namespace vl
