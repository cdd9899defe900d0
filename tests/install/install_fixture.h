// Installing real, signed package files into the sandbox's /flash, /ram and /rw (fresh
// tmpfs mounts), the way the install sequence's package child does it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "packages/database.h"
#include "packages/install.h"
#include "packages/journal.h"
#include "packages/planner.h"
#include "tools/pellpkg/builder.h"
#include "tools/signing/signing.h"

namespace vl::testing {

using pkgbuild::ArchiveFile;
using pkgbuild::BundleSource;
using pkgbuild::Bytes;
using pkgbuild::PackageSource;
using pkgbuild::SignatureForm;

inline const SecretKeySet& devKeys() {
  static const SecretKeySet keys = [] {
    std::string error;
    std::optional<SecretKeySet> loaded = loadSecretKeys(VL_DEV_SECRET_KEYS, error);
    EXPECT_TRUE(loaded) << error;
    return loaded.value_or(SecretKeySet{});
  }();
  return keys;
}

inline Version ver(const char* text) { return parseVersion(text); }

// A package of the 6.49 line, which needs both signature schemes.
inline PackageSource package(const std::string& name, const char* version = "6.49",
                             std::vector<ArchiveFile> files = {}) {
  PackageSource p;
  p.name = name;
  p.version = ver(version);
  p.buildTime = 1700000000;
  p.architecture = "mips";
  p.files = std::move(files);
  return p;
}

inline Bytes build(const PackageSource& p, SignatureForm form = SignatureForm::Both,
                   std::uint32_t magic = kMagicTracked) {
  std::optional<Bytes> bytes =
      pkgbuild::buildPackage(p, form, pkgbuild::signerFor(devKeys()), magic);
  EXPECT_TRUE(bytes);
  return bytes.value_or(Bytes{});
}

inline Bytes buildBundle(const BundleSource& b) {
  std::optional<Bytes> bytes =
      pkgbuild::buildBundle(b, SignatureForm::Both, pkgbuild::signerFor(devKeys()));
  EXPECT_TRUE(bytes);
  return bytes.value_or(Bytes{});
}

inline std::string readFile(const std::string& path) {
  FdStream in = FdStream::openRead(path);
  std::vector<std::uint8_t> bytes;
  if (!in.isOpen() || !readAll(in, bytes)) return "<absent>";
  return std::string(bytes.begin(), bytes.end());
}

inline void writeFile(const std::string& path, const std::string& text) {
  createParentDirectories(path);
  FdStream out = FdStream::openWrite(path, O_CREAT | O_TRUNC, 0644);
  ASSERT_TRUE(out.isOpen()) << path;
  ASSERT_EQ(out.write(text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_TRUE(out.close());
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Removes what is in path, and path itself unless keepRoot.
inline void removeTree(const std::string& path, bool keepRoot = false) {
  if (DIR* dir = ::opendir(path.c_str())) {
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) removeTree(path + "/" + name);
    if (!keepRoot) (void)::rmdir(path.c_str());
    return;
  }
  (void)::unlink(path.c_str());
}

inline void emptyDirectory(const std::string& path) { removeTree(path, true); }

inline bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Every path under root with its type, mode and contents (or link target): two equal
// snapshots mean nothing was created, changed or left behind. It stays on the root's own
// file system: the sandbox may mount the build tree below /tmp.
inline void snapshotInto(const std::string& path, std::map<std::string, std::string>& out,
                         dev_t device = 0) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (device == 0) device = st.st_dev;
  if (st.st_dev != device) return;
  std::string description = std::to_string(st.st_mode) + " ";
  if (S_ISLNK(st.st_mode)) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    description += std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
  } else if (S_ISREG(st.st_mode)) {
    description += readFile(path);
  } else if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
      for (const std::string& name : names) snapshotInto(path + "/" + name, out, device);
    }
  }
  out[path] = description;
}

inline constexpr const char* kConsolePath = "/tmp/install-console";

inline std::map<std::string, std::string> snapshot() {
  std::map<std::string, std::string> tree;
  for (const char* root : {"/flash", "/ram", "/rw", "/tmp"}) snapshotInto(root, tree);
  tree.erase(kConsolePath);  // the reporter's own output
  return tree;
}

// The database directory of a formatted flash.
inline void layOutFlash() {
  ASSERT_EQ(::mkdir("/flash/var", 0755), 0);
  ASSERT_EQ(::mkdir("/flash/var/pdb", 0755), 0);
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
    layOutFlash();
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
