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

// "/dev/flash" knows only the lowest accepted release, when the test wrote one.
class StandInFlashDriver final : public FlashDriver {
 public:
  std::optional<FlashTagRequest> minVersionTag() override {
    unsigned major = 0, minor = 0, level = 0;
    std::FILE* file = std::fopen("/stand-in/min-version", "r");
    if (file == nullptr) return std::nullopt;
    const bool read = std::fscanf(file, "%u.%u.%u", &major, &minor, &level) == 3;
    if (std::fclose(file) != 0 || !read) return std::nullopt;
    FlashTagRequest tag{};
    const Version version = makeVersion(major, minor, 'f', level);
    std::memcpy(tag.payload, &version, sizeof version);
    tag.length = sizeof version;
    tag.tag = kFlashTagMinVersion;
    return tag;
  }
  int capabilities() override { return -1; }
  std::optional<mtd_info_user> mtdInfo(std::uint32_t, bool) override { return std::nullopt; }
  std::optional<BoardNameBytes> boardName() override { return std::nullopt; }
};

}  // namespace

FlashStorage& boardFlash() {
  static StandInFlash flash;
  return flash;
}

FlashDriver& boardFlashDriver() {
  static StandInFlashDriver driver;
  return driver;
}

}  // namespace vl
