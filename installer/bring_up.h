// The first process's own steps around the install sequence: the kernel file systems,
// the console, the signal handlers, the driver modules, the LCD, the abort path and the
// reboot.
#pragma once

#include <optional>

namespace vl {

// Started as "init": the process the kernel started only waits for a child that does the
// work. The waiting parent gets the child's raw wait status (-1 when the wait fails);
// the child, or the process itself when the fork fails, gets none.
std::optional<int> forkWorkerOfInit();

// "/proc", "/dev", "/sys" and the mount points of the flash and the memory root; every
// failure is ignored, what it breaks shows later.
void mountKernelFileSystems();
// Boards without a console ("no-uart" and two boards' tags) get standard streams on
// "/dev/null".
void silenceConsoleIfAsked();
// The console becomes the controlling terminal of a session of the installer's own, so
// that Ctrl-C typed there reaches it as SIGINT.
void takeConsole();
// SIGINT aborts a running installation; SIGPIPE ignored, so a package child that ended
// early shows as a failed write; SIGCHLD default, every child is waited for explicitly.
void installSignalHandlers();
// Every driver module of the boot image, in the order the drivers depend on each other.
void loadDriverModules();
// "/dev/lcd" for the one LCD text; boards without one keep -1.
void openLcd();

// From here on an interrupt no longer aborts.
void markInstallDone();
bool installIsDone();

// The SIGINT handler: two lines, the flash unmounted, ENTER, reboot.
void abortInstall(int signal);

// LINUX_REBOOT_CMD_RESTART; returns only when the kernel refuses.
void rebootBoard();

}  // namespace vl
