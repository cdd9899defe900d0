// The installer: the first process of a network-booted board. It brings the board up,
// runs the installation once and reboots; it never returns on a board.
#include <cstdio>
#include <cstring>
#include <string>

#include "installer/bring_up.h"
#include "installer/console.h"
#include "installer/flash.h"
#include "installer/install_sequence.h"
#include "installer/system.h"

int main(int argc, char** argv) {
  // The kernel's init must never end while the board runs: it only waits, and the work
  // happens in a child.
  if (argc > 0 && std::strstr(argv[0], "init") != nullptr) {
    if (const std::optional<int> status = vl::forkWorkerOfInit()) return *status;
  }
  vl::mountKernelFileSystems();
  vl::silenceConsoleIfAsked();
  vl::takeConsole();
  (void)vl::consoleState();
  vl::installSignalHandlers();
  vl::loadDriverModules();
  vl::openLcd();
  vl::UserChoices choices;
  const std::string architecture = vl::detectArchitecture();

  const bool ok =
      vl::runInstallation(choices, architecture, vl::boardFlash(), vl::boardFlashDriver());
  vl::markInstallDone();
  if (!ok) {
    std::puts("Press ENTER to reboot");
    (void)std::fflush(stdout);
    vl::waitForEnter();
  }
  (void)std::fflush(stdout);
  vl::restoreConsole();
  std::puts("");
  std::puts("Rebooting...");
  (void)std::fflush(stdout);
  vl::rebootBoard();
  return 0;
}
