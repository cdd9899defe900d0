// The board of the sandboxed installer: "flash" is a directory of the board root bound
// at "/flash", and "/dev/flash" answers the release bound from a file. Files in
// "/stand-in/" make a step fail on purpose.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "installer/install_sequence.h"

namespace vl {
namespace {

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

// Bind mounts carry a data text: the sandbox refuses mounts without one, which keeps the
// installer's own kernel file systems from covering the board root's.
bool bind(const char* source, const char* target) {
  return ::mount(source, target, nullptr, MS_BIND, "") == 0;
}

class StandInFlash final : public FlashStorage {
 public:
  // The old system is "/old" when the test prepared one.
  bool mountOld() override { return exists("/old") && bind("/old", "/flash"); }
  void unmount() override {
    (void)::umount("/flash/boot");
    (void)::umount("/flash");
  }
  void detach() override {}
  bool mountFormatted() override {
    if (exists("/stand-in/mount-fails") || !bind("/formatted", "/flash")) return false;
    (void)::mkdir("/flash/boot", 0755);
    return bind("/formatted-boot", "/flash/boot");
  }
};

constexpr int kFlashFd = 1000;

class StandInDevices final : public DeviceIo {
 public:
  int open(const char* path, int) override {
    return std::strcmp(path, "/dev/flash") == 0 && exists("/stand-in/min-version") ? kFlashFd : -1;
  }
  int ioctl(int, unsigned long request, void* argument) override {
    if (request != kFlashTagRequest) return -1;
    unsigned major = 0, minor = 0, level = 0;
    std::FILE* file = std::fopen("/stand-in/min-version", "r");
    if (file == nullptr) return -1;
    const int fields = std::fscanf(file, "%u.%u.%u", &major, &minor, &level);
    (void)std::fclose(file);
    if (fields != 3) return -1;
    auto* tag = static_cast<FlashTagRequest*>(argument);
    const Version version = makeVersion(major, minor, 'f', level);
    std::memcpy(tag->payload, &version, sizeof version);
    tag->length = sizeof version;
    return 0;
  }
  void close(int) override {}
};

}  // namespace

FlashStorage& boardFlash() {
  static StandInFlash flash;
  return flash;
}

DeviceIo& boardDevices() {
  static StandInDevices devices;
  return devices;
}

}  // namespace vl
