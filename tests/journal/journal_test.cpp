// The change journal on real file systems: /flash, /ram and /tmp are separate tmpfs
// mounts of a private sandbox, so a rename between them fails with EXDEV as on a board.
#include "packages/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/console.h"
#include "tests/support/files.h"

namespace vl::testing {
namespace {

Tree board() {
  Tree tree;
  for (const char* root : {"/flash", "/ram", "/tmp"}) snapshotInto(root, tree);
  return tree;
}

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    // Not /tmp: the sandbox may mount the build tree below it.
    for (const char* root : {"/flash", "/ram"}) emptyDirectory(root);
    (void)unlink("/tmp/listing");
    journal.setOutput(console.fd(), console.fd());
  }
  std::string output() { return console.take(); }

  std::string stage(const std::string& target, const std::string& text, std::uint64_t hint,
                    mode_t mode = 0644) {
    FdStream out = journal.stageFile(target, hint, mode);
    EXPECT_TRUE(out.isOpen());
    EXPECT_EQ(out.write(text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_TRUE(out.close());
    const ChangeJournal::Entry* entry = journal.find(target);
    return entry ? entry->source : std::string();
  }

  PipeConsole console;
  ChangeJournal journal;
};

TEST_F(Journal, RemovalsAndLinksComeBeforeMovesWhateverThePaths) {
  // The move's source lies in a directory that a removal deletes, and another move's
  // source is replaced by a link: in path order both moves would run first.
  writeFile("/flash/m/src", "moved?");
  writeFile("/flash/z", "old z");
  journal.stageMove("/flash/m/src", "/flash/a");
  journal.stageRemove("/flash/m");
  journal.stageMove("/flash/z", "/flash/b");
  journal.stageSymlink("link-target", "/flash/z");
  journal.commit("", false);

  EXPECT_FALSE(exists("/flash/a"));
  EXPECT_FALSE(exists("/flash/m"));
  EXPECT_EQ(output(), "rename: No such file or directory\n");
  struct stat st {};
  ASSERT_EQ(lstat("/flash/b", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(Journal, FirstPathIsMovedBeforeEverythingElse) {
  writeFile("/flash/m/src", "first");
  journal.stageMove("/flash/m/src", "/flash/zz");
  journal.stageRemove("/flash/m");
  journal.commit("/flash/zz", false);
  EXPECT_EQ(readFile("/flash/zz"), "first");
  EXPECT_FALSE(exists("/flash/m"));
  EXPECT_EQ(journal.find("/flash/zz"), nullptr);
  EXPECT_EQ(output(), "");
}

TEST_F(Journal, ALaterChangeReplacesAnEarlierOneAndDeletesItsTemporaryFile) {
  writeFile("/flash/etc/conf", "installed");
  std::string first = stage("/flash/etc/conf", "new", 3);
  journal.stageSymlink("x", "/flash/etc/conf");
  EXPECT_FALSE(exists(first));
  EXPECT_EQ(*journal.find("/flash/etc/conf"),
            (ChangeJournal::Entry{ChangeJournal::Kind::Symlink, "x"}));
  first = stage("/flash/etc/conf", "new", 3);
  journal.stageRemove("/flash/etc/conf");
  EXPECT_FALSE(exists(first));
  EXPECT_EQ(journal.find("/flash/etc/conf")->kind, ChangeJournal::Kind::Removal);

  // Removing a path that does not exist cancels its staged file.
  const std::string temp = stage("/flash/new/file", "data", 4);
  journal.stageRemove("/flash/new/file");
  EXPECT_EQ(journal.find("/flash/new/file"), nullptr);
  EXPECT_FALSE(exists(temp));
}

TEST_F(Journal, DirectoryRemovalTakesOnlyVisibleFiles) {
  struct Case {
    std::vector<std::string> files;
    bool dirRemoved;
  };
  const Case cases[] = {
      {{"a", "b"}, true},
      {{"a", ".hidden"}, false},
  };
  for (const Case& c : cases) {
    emptyDirectory("/flash");
    ASSERT_EQ(mkdir("/flash/pkg", 0755), 0);
    for (const std::string& f : c.files) writeFile("/flash/pkg/" + f, f);
    journal.stageRemove("/flash/pkg");
    journal.commit("", false);
    journal.clear();
    EXPECT_EQ(exists("/flash/pkg"), !c.dirRemoved);
    EXPECT_FALSE(exists("/flash/pkg/a"));
    if (!c.dirRemoved) {
      EXPECT_TRUE(exists("/flash/pkg/" + c.files[1]));
    }
  }
}

TEST_F(Journal, TemporaryFilesGoWhereTheCommitIsARename) {
  ASSERT_EQ(mkdir("/flash/bin", 0755), 0);
  struct Case {
    const char* target;
    std::uint64_t hint;
    const char* directory;
  };
  const Case cases[] = {
      {"/flash/bin/tool", 100, "/flash/bin"},
      {"/flash/bin/", 100, "/flash"},  // trailing "/" dropped first
      {"/flash/x/y/z/file", 100, "/flash"},
      {"/flash/bin/tool", 0, "/ram"},
      {"/flash/bin/huge", 1ull << 62, "/ram"},  // no room, and no wrap of hint * 1.1
      {"relative/file", 100, "/ram"},
  };
  for (const Case& c : cases) {
    const std::string temp = stage(c.target, "x", c.hint);
    EXPECT_EQ(temp.substr(0, temp.rfind('/')), c.directory) << c.target << " " << c.hint;
    journal.abort();
  }
}

TEST_F(Journal, CommitCreatesParentsAndKeepsModesAcrossFileSystems) {
  const std::string inRam = stage("/flash/a/b/c/tool", std::string(70000, 'x'), 0, 0750);
  const std::string onFlash = stage("/flash/d/e/conf", "conf", 4, 0604);
  ASSERT_EQ(inRam.rfind("/ram/", 0), 0u);
  journal.commit("", true);
  EXPECT_EQ(readFile("/flash/a/b/c/tool"), std::string(70000, 'x'));
  EXPECT_EQ(readFile("/flash/d/e/conf"), "conf");
  struct stat st {};
  ASSERT_EQ(stat("/flash/a/b/c/tool", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(stat("/flash/d/e/conf", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_FALSE(exists(inRam));
  EXPECT_FALSE(exists(onFlash));
  // The spinner: one of its characters on the first block, then only steps.
  const std::string spun = output();
  ASSERT_FALSE(spun.empty());
  EXPECT_NE(std::string("|/-\\").find(spun[0]), std::string::npos);
  EXPECT_EQ(spun.find_first_not_of("|/-\\\b"), std::string::npos);
}

// A failed step leaves no temporary file behind: once the journal is cleared nothing
// would delete it.
TEST_F(Journal, AFailedStepIsReportedAndTheCommitGoesOn) {
  ASSERT_EQ(mkdir("/ram/notafile", 0755), 0);
  writeFile("/flash/blocker", "a file where a directory should be");
  writeFile("/flash/dir/inside", "a directory where a file should be");
  journal.stageMove("/ram/notafile", "/flash/copied");  // across devices, not a regular file
  journal.stageSymlink("t", "/flash/blocker/link");
  journal.stageMove("/flash/nonexistent", "/flash/moved");
  (void)stage("/flash/dir", "over a directory", 16);
  (void)stage("/flash/dir/inside/x", "below a file, staged in RAM", 0);
  (void)stage("/flash/last", "still done", 10);
  journal.commit("", false);
  EXPECT_EQ(output(),
            "symlink: Not a directory\nrename: Invalid argument\nrename: Is a directory\n"
            "rename: Not a directory\nrename: No such file or directory\n");
  EXPECT_EQ(readFile("/flash/last"), "still done");
  for (const auto& [path, description] : board()) {
    EXPECT_NE(path.compare(path.rfind('/'), 4, "/tmp"), 0) << path << " left behind";
  }
}

TEST_F(Journal, DirUsable) {
  ASSERT_EQ(mkdir("/flash/dir", 0755), 0);
  writeFile("/flash/file", "x");
  (void)stage("/flash/staged", "x", 1);
  journal.stageRemove("/flash/dir");
  struct Case {
    const char* path;
    bool usable;
    bool entryLeft;
  };
  const Case cases[] = {
      {"/flash/dir", true, false},  // the staged removal is cancelled
      {"/flash/missing", true, false}, {"/flash/file", false, false},
      {"/flash/staged", false, true},  {"/flash/file/below", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(journal.dirUsable(c.path), c.usable) << c.path;
    EXPECT_EQ(journal.find(c.path) != nullptr, c.entryLeft) << c.path;
  }
}

TEST_F(Journal, AbortLeavesTheTreeExactlyAsItWas) {
  writeFile("/flash/var/pdb/pkg/version", "1 2\n");
  writeFile("/flash/bin/x", "program", 0755);
  writeFile("/flash/image", "package copy");
  const Tree before = board();

  (void)stage("/flash/bin/x", "new program", 11, 0755);
  (void)stage("/flash/bin/y", "another", 0, 0755);
  journal.stageRemove("/flash/var/pdb/pkg");
  journal.stageSymlink("/flash/bootimage", "/flash/var/pdb/pkg/image");
  journal.stageMove("/flash/image", "/flash/var/pdb/new/image");
  ASSERT_NE(board(), before);  // the staged files exist until the abort
  journal.abort();
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(board(), before);
}

// Read back, a staged file is a move of its temporary file.
TEST_F(Journal, ListingRoundTrip) {
  writeFile("/flash/old", "x");
  const std::string temp = stage("/flash/new", "x", 1);
  journal.stageRemove("/flash/old");
  journal.stageSymlink("/flash/bootimage", "/flash/var/pdb/p/image");
  ASSERT_TRUE(journal.writeListing("/tmp/listing"));
  EXPECT_EQ(readFile("/tmp/listing"), "M /flash/new " + temp +
                                          "\nU /flash/old\n"
                                          "L /flash/var/pdb/p/image /flash/bootimage\n");
  ChangeJournal read;
  ASSERT_TRUE(read.readListing("/tmp/listing"));
  EXPECT_EQ(read.entries(),
            (std::map<std::string, ChangeJournal::Entry>{
                {"/flash/new", {ChangeJournal::Kind::Move, temp}},
                {"/flash/old", {ChangeJournal::Kind::Removal, ""}},
                {"/flash/var/pdb/p/image", {ChangeJournal::Kind::Symlink, "/flash/bootimage"}}}));
  journal.abort();
}

TEST_F(Journal, ListingReadingRules) {
  const struct {
    const char* text;
    bool result;
    std::size_t entries;
  } cases[] = {
      {"U /a\n\nU /b\n", true, 1},    // an empty line ends the listing
      {"X /a b\nU /a\n", true, 1},    // an unknown kind skips its line
      {"U /a\nU\nU /b\n", false, 1},  // too few words stop it with failure
      {"U /a\nL /b\n", false, 1},
      {"M /a\n", false, 0},
      {"", false, 0},     // the end with nothing read
      {"U /a", true, 1},  // a last line without its newline
      {"M /c source with blanks\n", true, 1},
  };
  for (const auto& c : cases) {
    writeFile("/tmp/listing", c.text);
    ChangeJournal read;
    EXPECT_EQ(read.readListing("/tmp/listing"), c.result) << c.text;
    EXPECT_EQ(read.entries().size(), c.entries) << c.text;
  }
}

}  // namespace
}  // namespace vl::testing
