// The order in which the flash is tried: UBI, yaffs, the kernel partition alone, over a
// stand-in kernel that holds its attach and mount state and fails where told.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "installer/flash.h"

namespace vl {
namespace {

// Mounts need what a kernel needs: an attached UBI device, a block node, a directory.
class FakeKernel final : public FlashDevices {
 public:
  // failing: the names of what fails, separated by spaces.
  explicit FakeKernel(const std::string& failing) {
    std::istringstream names(failing);
    for (std::string name; names >> name;) failing_.insert(name);
  }

  std::int32_t attachUbi(std::uint32_t mtd, std::uint32_t ubi) override {
    note("attach " + std::to_string(mtd) + " " + std::to_string(ubi));
    if (failing_.count("mtd" + std::to_string(mtd)) != 0) return -1;
    attached.insert(ubi);
    return 0;
  }
  std::int32_t detachUbi(std::uint32_t ubi) override {
    note("detach " + std::to_string(ubi));
    return attached.erase(ubi) != 0 ? 0 : -1;
  }
  std::int32_t makeUbiVolume(std::uint32_t ubi, const char* name) override {
    note("mkvol " + std::to_string(ubi) + " " + name);
    return attached.count(ubi) != 0 ? 0 : -1;
  }
  void makeBlockNode(const char* path, std::uint32_t minor) override {
    note(std::string("mknod ") + path + " " + std::to_string(minor));
    present_.insert(path);
  }
  bool mount(const FlashMount& row) override {
    note(std::string("mount ") + row.source + " " + row.target + " " + row.type + " " +
         std::to_string(row.flags) + " " + (row.data != nullptr ? row.data : "-"));
    const std::string source = row.source;
    const bool ubi = source.rfind("ubi", 0) == 0;
    const bool ready = ubi ? attached.count(static_cast<std::uint32_t>(source[3] - '0')) != 0
                           : present_.count(source) != 0;
    if (!ready || failing_.count(source) != 0 || present_.count(row.target) == 0 ||
        mounted.count(row.target) != 0) {
      return false;
    }
    mounted[row.target] = source;
    return true;
  }
  void unmount(const char* target) override {
    note(std::string("umount ") + target);
    mounted.erase(target);
  }
  void makeDirectory(const char* path) override {
    note(std::string("mkdir ") + path);
    present_.insert(path);
  }

  std::string log;
  std::set<std::uint32_t> attached;
  std::map<std::string, std::string> mounted;  // target: source

 private:
  void note(const std::string& call) { log += (log.empty() ? "" : "; ") + call; }

  std::set<std::string> failing_;            // "mtd<n>" for attaches, mount sources
  std::set<std::string> present_{"/flash"};  // directories and device nodes
};

TEST(MountFlash, TriesUbiThenYaffsThenTheKernelPartitionAlone) {
  // The settings, whether the flash was formatted, what fails, the result, the calls.
  const FlashSettings yaffs{false, false, 0}, ubifs{true, false, 0}, yaffs1{false, false, 1},
      ubifs1{true, false, 1}, noNand{false, true, 0};
  const char* const kYaffs =
      "mknod /dev/mtdBoot 0; mknod /dev/mtdRoot 1; "
      "mount /dev/mtdRoot /flash yaffs 3072 -";
  const std::string ubiAttempt = "attach 0 0; attach 1 1; mount ubi1:Pellorin /flash ubifs 0 -";
  const struct {
    FlashSettings settings;
    bool format;
    const char* failing;
    bool mounted;
    std::string calls;
  } cases[] = {
      {yaffs, false, "", true, kYaffs},
      {yaffs1, true, "", true,
       "mknod /dev/mtdBoot 2; mknod /dev/mtdRoot 3; mount /dev/mtdRoot /flash yaffs 3072 -; "
       "mkdir /flash/boot; mount /dev/mtdBoot /flash/boot yaffs 3072 -"},
      {ubifs, false, "", true, ubiAttempt},
      {ubifs1, true, "", true,
       "attach 2 0; attach 3 1; mkvol 0 Kernel; mkvol 1 Pellorin; "
       "mount ubi1:Pellorin /flash ubifs 0 -; mkdir /flash/boot; "
       "mount ubi0:Kernel /flash/boot ubifs 0 compr=none"},
      // The kernel partition does not attach: nothing to detach.
      {ubifs, false, "mtd0", true, std::string("attach 0 0; ") + kYaffs},
      // The root partition does not attach: its mount fails.
      {ubifs, false, "mtd1", true, ubiAttempt + "; detach 0; detach 1; " + kYaffs},
      {ubifs, true, "ubi0:Kernel", true,
       "attach 0 0; attach 1 1; mkvol 0 Kernel; mkvol 1 Pellorin; "
       "mount ubi1:Pellorin /flash ubifs 0 -; mkdir /flash/boot; "
       "mount ubi0:Kernel /flash/boot ubifs 0 compr=none; umount /flash; detach 0; detach 1; " +
           std::string(kYaffs) +
           "; mkdir /flash/boot; mount /dev/mtdBoot /flash/boot yaffs 3072 -"},
      {noNand, true, "", true, "mknod /dev/mtdBoot 0; mount /dev/mtdBoot /flash yaffs 3072 -"},
      {yaffs, true, "/dev/mtdRoot", true,
       std::string(kYaffs) + "; mount /dev/mtdBoot /flash yaffs 3072 -"},
      {yaffs, true, "/dev/mtdBoot", false,
       std::string(kYaffs) +
           "; mkdir /flash/boot; mount /dev/mtdBoot /flash/boot yaffs 3072 -; umount /flash"},
      {ubifs, false, "ubi1:Pellorin /dev/mtdRoot /dev/mtdBoot", false,
       ubiAttempt + "; detach 0; detach 1; " + kYaffs +
           "; mount /dev/mtdBoot /flash yaffs 3072 -; umount /flash"},
  };
  for (const auto& c : cases) {
    FakeKernel kernel(c.failing);
    EXPECT_EQ(mountFlash(c.format, c.settings, kernel), c.mounted) << c.calls;
    EXPECT_EQ(kernel.log, c.calls);
    // What stays mounted is what the calls left; a failed UBI attempt leaves nothing attached.
    EXPECT_EQ(kernel.mounted.empty(), !c.mounted) << c.calls;
    if (kernel.mounted.empty() || kernel.mounted.begin()->second.rfind("ubi", 0) != 0) {
      EXPECT_TRUE(kernel.attached.empty()) << c.calls;
    }
  }
}

TEST(MountFlash, ActivePairIsTheValueOfTheLeadingDigits) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {nullptr, 0},           {"", 0}, {"12abc", 12}, {" 3", 0}, {"99999999999", 0xFFFF},
      {"2147483648", 0xFFFF},
  };
  for (const auto& [text, index] : cases) {
    EXPECT_EQ(activePairIndex(text), index) << (text != nullptr ? text : "absent");
  }
}

}  // namespace
}  // namespace vl
