#include "installer/bring_up.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "installer/console.h"
#include "installer/system.h"

namespace vl {
namespace {

volatile sig_atomic_t installDone = 0;

// Each mount with no flags and no data, its source text equal to its type.
struct KernelMount {
  const char* type;
  const char* target;
  bool createTarget;  // the image carries "/proc" and "/dev", not "/sys"
};
constexpr KernelMount kKernelMounts[] = {
    {"proc", "/proc", false},     // the command line, the interfaces, the memory total
    {"devtmpfs", "/dev", false},  // nodes of the drivers loaded below
    {"sysfs", "/sys", true},      // the UBI devices' sizes
};

void installHandler(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  (void)sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  (void)::sigaction(signal, &action, nullptr);
}

}  // namespace

std::optional<int> forkWorkerOfInit() {
  (void)std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid <= 0) return std::nullopt;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void mountKernelFileSystems() {
  for (const KernelMount& m : kKernelMounts) {
    if (m.createTarget) (void)::mkdir(m.target, 0755);
    (void)::mount(m.type, m.target, m.type, 0, nullptr);
  }
  (void)::mkdir("/flash", 0755);
  (void)::mkdir("/ram", 0755);
}

void silenceConsoleIfAsked() {
  if (!hasKernelFlag("no-uart") && !hasKernelFlag("board=alder-x1") &&
      !hasKernelFlag("board=birch-x2")) {
    return;
  }
  (void)std::freopen("/dev/null", "r", stdin);
  (void)std::freopen("/dev/null", "w", stdout);
  (void)std::freopen("/dev/null", "w", stderr);
}

// The kernel starts the first process without a controlling terminal, so the console's
// Ctrl-C would signal nobody. A console held by another session is taken over; where the
// console is silenced or no terminal, both calls fail harmlessly.
void takeConsole() {
  (void)::setsid();
  (void)::ioctl(0, TIOCSCTTY, 1);
}

void installSignalHandlers() {
  installHandler(SIGINT, abortInstall, 0);
  installHandler(SIGPIPE, SIG_IGN, 0);
  installHandler(SIGCHLD, SIG_DFL, SA_RESTART);
}

void openLcd() { setLcdDescriptor(::open("/dev/lcd", O_RDWR | O_CLOEXEC)); }

void markInstallDone() { installDone = 1; }
bool installIsDone() { return installDone != 0; }

void abortInstall(int) {
  if (installDone != 0) return;
  writeConsole("\n\nInstallation aborted\nPress ENTER to reboot\n");
  (void)::umount("/flash/boot");
  (void)::umount("/flash");
  (void)::umount("/floppy");
  waitForEnter();
  restoreConsole();
  rebootBoard();
}

void rebootBoard() { (void)::reboot(RB_AUTOBOOT); }

}  // namespace vl
