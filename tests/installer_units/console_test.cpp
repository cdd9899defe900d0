// The console as the operator sees it: a child process on a pseudo-terminal goes through
// the console calls while the test types and reads the screen byte for byte.
#include "installer/console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace vl {
namespace {

void operatorSession() {
  restoreConsole();  // never changed: only the cursor
  enterRawConsole();
  std::printf("R");
  std::fflush(stdout);
  waitForEnter();
  startDots();
  // A long step of 3.5 seconds; the sleep goes on after every dot wakes it.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  stopDots();
  std::fflush(stdout);  // as the installer does before it restores the console
  restoreConsole();
  termios settings{};
  tcgetattr(0, &settings);
  std::printf("%s", (settings.c_lflag & ECHO) != 0 ? "echo" : "no echo");
  std::fflush(stdout);
}

TEST(Console, RawKeysBellsDotsAndRestoreAsTheOperatorSeesThem) {
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    operatorSession();
    _exit(0);
  }
  std::string screen;
  char buffer[256];
  bool typed = false;
  for (;;) {
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the child has closed the terminal
    screen.append(buffer, static_cast<std::size_t>(got));
    // Keys typed before the raw mode would be discarded by its switch.
    if (!typed && screen.find('R') != std::string::npos) {
      ASSERT_EQ(write(terminal, "a c\n", 4), 4);
      typed = true;
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(terminal);
  EXPECT_EQ(screen, "\e[?25hR\a\a\a...\r\n\e[?25hecho");
}

}  // namespace
}  // namespace vl
