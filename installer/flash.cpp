#include "installer/flash.h"

#include <sys/mount.h>

#include <cstdio>

namespace vl {
namespace {

constexpr unsigned long kYaffsFlags = MS_NOATIME | MS_NODIRATIME;
constexpr const char* kFlash = "/flash";
constexpr const char* kBootNode = "/dev/mtdBoot";
constexpr const char* kRootNode = "/dev/mtdRoot";

// Two partitions of the active pair: the kernel's, then the root's.
struct Partitions {
  std::uint32_t kernel;
  std::uint32_t root;
};

// Mounts the kernel partition at boot below a mounted "/flash"; on failure "/flash"
// goes too.
bool mountBoot(FlashDevices& devices, const FlashMount& kernel) {
  devices.makeDirectory(kernel.target);
  if (devices.mount(kernel)) return true;
  devices.unmount(kFlash);
  return false;
}

// True when UBI carries "/flash"; on a failure after the attach both devices are
// released again for the yaffs attempt.
bool mountUbi(bool format, Partitions partitions, const char* boot, FlashDevices& devices) {
  if (devices.attachUbi(partitions.kernel, 0) < 0) return false;
  (void)devices.attachUbi(partitions.root, 1);
  if (format) {
    // A volume that could not be made shows as a failed mount.
    (void)devices.makeUbiVolume(0, "Kernel");
    (void)devices.makeUbiVolume(1, "Pellorin");
  }
  if (devices.mount({"ubi1:Pellorin", kFlash, "ubifs", 0, nullptr})) {
    if (!format) return true;
    if (mountBoot(devices, {"ubi0:Kernel", boot, "ubifs", 0, "compr=none"})) return true;
  }
  (void)devices.detachUbi(0);
  (void)devices.detachUbi(1);
  return false;
}

}  // namespace

std::uint32_t activePairIndex(const char* text) {
  if (text == nullptr) return 0;
  // Capped: a value that wrapped around would name a real pair, the wrong one.
  constexpr std::uint32_t kLimit = 0xFFFF;
  std::uint32_t index = 0;
  for (; *text >= '0' && *text <= '9' && index <= kLimit; ++text) {
    index = index * 10 + static_cast<std::uint32_t>(*text - '0');
  }
  return index <= kLimit ? index : kLimit;
}

bool mountFlash(bool format, const FlashSettings& settings, FlashDevices& devices) {
  const Partitions partitions{2 * settings.activePair, 2 * settings.activePair + 1};
  char boot[80];
  std::snprintf(boot, sizeof boot, "%s/boot", kFlash);
  if (settings.ubifsSupport && mountUbi(format, partitions, boot, devices)) return true;

  devices.makeBlockNode(kBootNode, partitions.kernel);
  if (!settings.noNand) {
    devices.makeBlockNode(kRootNode, partitions.root);
    if (devices.mount({kRootNode, kFlash, "yaffs", kYaffsFlags, nullptr})) {
      return !format || mountBoot(devices, {kBootNode, boot, "yaffs", kYaffsFlags, nullptr});
    }
  }
  // The kernel partition alone: boards without a separate root, or a root that is gone.
  if (devices.mount({kBootNode, kFlash, "yaffs", kYaffsFlags, nullptr})) return true;
  devices.unmount(kFlash);
  return false;
}

}  // namespace vl
