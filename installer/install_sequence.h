// The installation from the first line on the console to the moment the board may
// reboot: find the server, format the flash keeping what the server asks to keep,
// receive the configuration scripts and the packages, run the post-install step.
#pragma once

#include <linux/ioctl.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "installer/board_queries.h"
#include "installer/flash.h"
#include "packages/install.h"

namespace vl {

inline constexpr const char* kInstallerReleaseText = "6.49.10";
// The panic driver's request made once the software is in place.
inline constexpr unsigned long kPanicsRequest = _IO('P', 3);
// Names the server announces are short; a longer one is refused rather than cut.
inline constexpr std::size_t kMaxFileName = 31;

// The board's flash information driver as the program of this build reaches it, like
// boardFlash(): the real one in the installer, a stand-in in the sandboxed test build.
FlashDriver& boardFlashDriver();

// True when the software was installed and the server told; false after printing why.
// flash and driver are the board's (boardFlash(), boardFlashDriver()).
[[nodiscard]] bool runInstallation(UserChoices& choices, const std::string& architecture,
                                   FlashStorage& flash, FlashDriver& driver);

// The model name the server is told: the board's name in its short form ("QL12Z-4").
std::string composeModelName(std::string_view boardName);

// A name from the server that may become a file name under "/flash".
bool isPlainFileName(std::string_view name);

}  // namespace vl
