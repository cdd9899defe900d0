// The operator's side of the board: the serial console (standard input and output) and
// the LCD. Messages themselves are plain lines; this holds the terminal mode, the dots
// of long steps, the wait for ENTER and the one LCD write.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string_view>

namespace vl {

// The settings of standard input before the installer changed them.
struct ConsoleState {
  termios savedSettings{};
  std::int32_t saved = 0;  // the settings are valid and the terminal is changed
};

// The one console state of the process.
ConsoleState& consoleState();

// Keys one at a time, no echo; pending input is discarded. Only the first call acts.
void enterRawConsole();
// Straight to descriptor 1, past the stdout buffer. The abort handler may interrupt any
// buffered print, so it and the functions it calls (restoreConsole, waitForEnter) write
// only this way: a line the interrupted print had written would otherwise come again.
// Callers outside the handler flush stdout first.
void writeConsole(std::string_view text);

// Back to the saved settings (when changed), and the cursor shown in every case.
void restoreConsole();

// One dot a second on descriptor 1 until stopDots, which ends the line.
void startDots();
void stopDots();

// Blocks until a line feed or the end of input; every other key rings the bell.
void waitForEnter();

// "/dev/lcd" as the bring-up opened it; -1 when the board has none.
void setLcdDescriptor(int fd);
void writeLcd(std::string_view text);

}  // namespace vl
