#include "installer/console.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vl {
namespace {

int lcdDescriptor = -1;

void tick(int) {
  // Runs in the middle of anything: only the unbuffered write, sigaction and alarm, and
  // errno as the interrupted code left it.
  const int saved = errno;
  if (write(1, ".", 1) < 0) {
    // nothing to do about a lost dot
  }
  startDots();
  errno = saved;
}

}  // namespace

void writeConsole(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(1, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

ConsoleState& consoleState() {
  static ConsoleState state;
  return state;
}

void enterRawConsole() {
  ConsoleState& state = consoleState();
  if (state.saved != 0) return;
  (void)tcgetattr(0, &state.savedSettings);
  termios changed = state.savedSettings;
  changed.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  changed.c_cc[VMIN] = 1;
  changed.c_cc[VTIME] = 0;
  (void)tcsetattr(0, TCSAFLUSH, &changed);
  // Set even when the console is no terminal: restoring is then equally harmless.
  state.saved = 1;
}

void restoreConsole() {
  ConsoleState& state = consoleState();
  if (state.saved != 0) {
    (void)tcsetattr(0, TCSAFLUSH, &state.savedSettings);
    state.saved = 0;
  }
  writeConsole("\e[?25h");
}

void startDots() {
  struct sigaction action {};
  action.sa_handler = tick;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGALRM, &action, nullptr) == 0) alarm(1);
}

void stopDots() {
  // The ticker goes first, so that no dot can land after the line end.
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)sigaction(SIGALRM, &action, nullptr);
  std::putchar('\n');
}

void waitForEnter() {
  for (;;) {
    char key = 0;
    // A read error, an interrupt among them, ends the wait as the end of input does.
    if (::read(0, &key, 1) <= 0 || key == '\n') return;
    writeConsole("\a");
  }
}

void setLcdDescriptor(int fd) { lcdDescriptor = fd; }

void writeLcd(std::string_view text) {
  if (lcdDescriptor == -1) return;
  if (write(lcdDescriptor, text.data(), text.size()) < 0) {
    // an LCD that refuses the text is no reason to stop an installation
  }
}

}  // namespace vl
