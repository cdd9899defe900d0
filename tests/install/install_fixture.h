// Installing real, signed package files into the sandbox's /flash, /ram and /rw (fresh
// tmpfs mounts), the way the install sequence's package child does it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "packages/database.h"
#include "packages/install.h"
#include "packages/journal.h"
#include "packages/planner.h"
#include "tests/support/files.h"
#include "tests/support/packages.h"

namespace vl::testing {

using pkgbuild::Bytes;

inline constexpr const char* kConsolePath = "/tmp/install-console";

inline Tree snapshot() {
  Tree tree;
  for (const char* root : {"/flash", "/ram", "/rw", "/tmp"}) snapshotInto(root, tree);
  tree.erase(kConsolePath);  // the reporter's own output
  return tree;
}

class FixedBoard final : public BoardQueries {
 public:
  Version boardMinVersion() const override { return 0; }
  bool boardHasFlag1000() const override { return false; }
  bool mtd0HasLargeEraseBlocks() const override { return false; }
};

class InstallFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tests write the board's absolute paths: only ever in the sandbox's tmpfs.
    for (const char* root : {"/flash", "/ram", "/rw", "/tmp"}) {
      struct statfs fs {};
      ASSERT_EQ(::statfs(root, &fs), 0) << root << ": run this test in its sandbox";
      ASSERT_EQ(fs.f_type, TMPFS_MAGIC) << root << " is no private tmpfs";
      if (std::string(root) != "/tmp") emptyDirectory(root);
    }
    // The database directory of a formatted flash.
    ASSERT_EQ(::mkdir("/flash/var", 0755), 0);
    ASSERT_EQ(::mkdir("/flash/var/pdb", 0755), 0);
    ::unsetenv(kBootImageVariable);
    consoleFd_ = ::open(kConsolePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(consoleFd_, 0);
    journal.setOutput(consoleFd_, consoleFd_);
    openRepository();
  }
  void TearDown() override {
    journal.abort();
    ::unsetenv(kBootImageVariable);
    ::close(consoleFd_);
  }

  // A new repository loaded from flash, as a package child opens it.
  void openRepository() {
    repository = std::make_unique<Repository>();
    repository->reporter.setOutput(consoleFd_);
    repository->open(false, "mips");
    planner = std::make_unique<Planner>(*repository, board, false);
  }

  // One package file as the install sequence's child installs it: the stream read with
  // its copy going to /flash/image, then the copy put in place and the journal committed,
  // or the journal aborted.
  InstallResult install(const Bytes& file, const UserChoices& choices = {},
                        std::uint32_t allowed = 1) {
    MemorySource source(file.data(), file.size());
    FdStream copy = FdStream::openWrite(kImageCopyPath, O_CREAT | O_TRUNC, 0644);
    EXPECT_TRUE(copy.isOpen());
    outputs = InstallOutputs{};
    const InstallResult result =
        installFromStream(*planner, journal, source, allowed, choices, &copy, outputs);
    EXPECT_TRUE(copy.close());
    if (result != InstallResult::Installed) {
      journal.abort();
      (void)::unlink(kImageCopyPath);
      return result;
    }
    placeCopy();
    journal.commit(std::string(), false);
    journal.clear();
    return result;
  }

  void placeCopy() {
    if (outputs.bootImage) {
      journal.stageMove(kImageCopyPath, kBootImagePath);
      journal.stageSymlink(kBootImagePath, outputs.imagePath + "image");
    } else if (!outputs.imagePath.empty()) {
      journal.stageMove(kImageCopyPath, outputs.imagePath + "image");
    } else {
      (void)::unlink(kImageCopyPath);  // no kept image for this package
    }
  }

  // Installs file from a fresh repository; the flash must stay exactly as it was.
  void expectNoTrace(const Bytes& file, InstallResult expected, const char* message,
                     std::uint32_t allowed = 1) {
    openRepository();
    const Tree before = snapshot();
    EXPECT_EQ(install(file, {}, allowed), expected);
    EXPECT_EQ(snapshot(), before);
    if (message != nullptr) {
      EXPECT_EQ(messages(), std::vector<std::string>{message});
    }
  }

  std::vector<std::string> messages() const { return repository->reporter.messages(); }
  std::string lastMessage() const { return messages().empty() ? std::string() : messages().back(); }

  FixedBoard board;
  std::unique_ptr<Repository> repository;
  std::unique_ptr<Planner> planner;
  ChangeJournal journal;
  InstallOutputs outputs;

 private:
  int consoleFd_ = -1;
};

}  // namespace vl::testing
