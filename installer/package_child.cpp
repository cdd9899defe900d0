#include "installer/package_child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "installer/board_queries.h"
#include "packages/database.h"
#include "packages/journal.h"
#include "packages/planner.h"

namespace vl {
namespace {

// The running child; only the parent writes it.
pid_t installerPid = -1;
// Set first inside a child, so every child opens the database afresh.
bool repositoryOpened = false;

constexpr const char* kBootImagePath = "/flash/bootimage";

// The parent writes the whole file whatever the package turned out to be, so a refused
// or broken package ends like a good one instead of breaking the pipe under the parent.
void drainInput(StreamBuffer& input) {
  std::array<std::uint8_t, 4096> sink;
  while (input.read(sink.data(), sink.size()) > 0) {
  }
}

// The copy of an installed package goes where its database entry points; the copy of any
// other package file, and of one without an image part, goes away.
void placeImageCopy(ChangeJournal& journal, const InstallOutputs& outputs) {
  if (outputs.imagePath.empty()) {
    (void)::unlink(kImageCopyPath);
    return;
  }
  if (outputs.bootImage) {
    journal.stageMove(kImageCopyPath, kBootImagePath);
    journal.stageSymlink(kBootImagePath, outputs.imagePath + "image");
    return;
  }
  journal.stageMove(kImageCopyPath, outputs.imagePath + "image");
}

int installFromInput(const UserChoices& choices, const std::string& architecture,
                     FlashDriver& driver) {
  if (!repositoryOpened) {
    repositoryOpened = true;
    openRepository(false, architecture);
  }
  FdStream input(0, false);
  FdStream copy = FdStream::openWrite(kImageCopyPath, O_CREAT | O_TRUNC, 0666);
  if (!copy.isOpen()) {
    std::puts("ERROR: could not open image");
    drainInput(input);
    return 0;
  }
  ChangeJournal journal;
  InstallOutputs outputs;
  LinuxBoardQueries board(driver);
  Planner planner(repository(), board, readFlaggedState());
  int result = installFromStream(planner, journal, input, 1, choices, &copy, outputs);
  if (!copy.close() && result == kInstalled) {
    std::puts("ERROR: could not write image");
    result = kInstallFailed;
  }
  drainInput(input);
  if (result != kInstalled) {
    journal.abort();
    (void)::unlink(kImageCopyPath);
    return 0;
  }
  placeImageCopy(journal, outputs);
  journal.commit(std::string(), false);
  journal.clear();
  return 0;
}

[[noreturn]] void runChild(int readEnd, int writeEnd, const UserChoices& choices,
                           const std::string& architecture, FlashDriver& driver) {
  (void)::dup2(readEnd, 0);
  (void)::close(writeEnd);
  for (int fd = 3; fd < 16; ++fd) (void)::close(fd);
  (void)::chdir("/");
  const int status = installFromInput(choices, architecture, driver);
  (void)std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace

bool startPackageChild(const UserChoices& choices, const std::string& architecture,
                       FlashDriver& driver, FdStream& input) {
  if (installerPid != -1) return false;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  // The child must not repeat lines still buffered here.
  (void)std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) {
    (void)::close(ends[0]);
    (void)::close(ends[1]);
    return false;
  }
  if (pid == 0) runChild(ends[0], ends[1], choices, architecture, driver);
  (void)::close(ends[0]);
  input = FdStream(ends[1], true);
  installerPid = pid;
  return true;
}

int finishPackageChild(FdStream& input) {
  const pid_t pid = installerPid;
  if (pid == -1) return -1;
  installerPid = -1;
  const bool closed = input.close();
  // Waited for even when the close reports an error: the descriptor is gone all the
  // same, and the next package's child must not run beside this one.
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return closed ? status : -1;
}

}  // namespace vl
