// The board's flash behind the install sequence: the kernel's UBI, MTD and mount
// requests, chosen by the command line and "activepart".
#include <sys/mount.h>

#include <cstdlib>

#include "installer/flash.h"
#include "installer/system.h"
#include "installer/ubi.h"

namespace vl {
namespace {

FlashSettings boardFlashSettings() {
  FlashSettings settings;
  settings.ubifsSupport = hasKernelFlag("ubifs_support");
  settings.noNand = hasKernelFlag("no-nand");
  settings.activePair = activePairIndex(std::getenv("activepart"));
  return settings;
}

class BoardFlash final : public FlashStorage {
 public:
  bool mountOld() override { return mountFlash(false); }
  void unmount() override {
    (void)umount("/flash/boot");
    (void)umount("/flash");
  }
  void detach() override {
    if (!hasKernelFlag("ubifs_support")) return;
    (void)detachUbi(0);
    (void)detachUbi(1);
  }
  bool mountFormatted() override { return mountFlash(true); }
};

}  // namespace

bool mountFlash(bool format) {
  return mountFlash(format, boardFlashSettings(), systemFlashDevices());
}

FlashStorage& boardFlash() {
  static BoardFlash flash;
  return flash;
}

}  // namespace vl
