// Small services of the first process that the other installer steps use: the kernel
// command line, driver modules, driver requests, external programs and the architecture
// name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

// The text occurs anywhere in "/proc/cmdline"; an unreadable command line holds every flag.
[[nodiscard]] bool hasKernelFlag(std::string_view flag);
// The test over a command line already read: a plain substring search, so board tags and
// bare words are found anywhere, also inside longer words.
[[nodiscard]] bool commandLineHas(std::string_view commandLine, std::string_view flag);

// Loads "/lib/modules/<release>/<path>": the kernel's result, or -1 when the file cannot
// be opened, examined or mapped.
int loadModule(std::string_view path, const char* parameters);

// Runs path (also its first argument) with at most 14 further arguments, optionally under
// the root directory, standard streams on "/dev/null". The raw wait status; -1 when no
// process could be started or waited for.
int runProgram(const char* root, const char* path, const std::vector<const char*>& arguments);

// One request to a driver: open the device, ioctl, close on every path. The request's
// result, or -1 when the device does not open.
int deviceRequest(const char* path, int flags, unsigned long request, void* record);

// "smips" or "mips": the environment's "arch" and "board" first, else the memory and the
// flash of the board.
std::string detectArchitecture();
// The choice by memory total (kilobytes) and flash size (bytes of MTD 0 and 1).
std::string architectureFor(std::uint32_t memoryKb, std::uint64_t flashBytes);

}  // namespace vl
