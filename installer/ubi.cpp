#include "installer/ubi.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "installer/system.h"

namespace vl {
namespace {

constexpr unsigned kMtdBlockMajor = 31;

// The first token of a UBI sysfs file as a decimal number; 0 when there is none.
std::uint64_t readSysfsNumber(std::uint32_t ubi, const char* file) {
  char path[64];
  std::snprintf(path, sizeof path, "/sys/class/ubi/ubi%u/%s", ubi, file);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32];
  const ssize_t got = read(fd, text, sizeof text);
  (void)close(fd);
  if (got <= 0) return 0;
  const char* start = text;
  const char* end = text + got;
  while (start < end && std::isspace(static_cast<unsigned char>(*start))) ++start;
  std::uint64_t value = 0;
  if (std::from_chars(start, end, value).ec != std::errc{}) return 0;
  return value;
}

class SystemFlashDevices final : public FlashDevices {
 public:
  std::int32_t attachUbi(std::uint32_t mtd, std::uint32_t ubi) override {
    return vl::attachUbi(mtd, ubi);
  }
  std::int32_t detachUbi(std::uint32_t ubi) override { return vl::detachUbi(ubi); }
  std::int32_t makeUbiVolume(std::uint32_t ubi, const char* name) override {
    return vl::makeUbiVolume(ubi, name);
  }
  void makeBlockNode(const char* path, std::uint32_t minor) override {
    (void)mknod(path, S_IFBLK | 0777, makedev(kMtdBlockMajor, minor));
  }
  bool mount(const FlashMount& row) override {
    return ::mount(row.source, row.target, row.type, row.flags, row.data) == 0;
  }
  void unmount(const char* target) override { (void)umount(target); }
  void makeDirectory(const char* path) override { (void)mkdir(path, 0755); }
};

}  // namespace

std::int32_t attachUbi(std::uint32_t mtd, std::uint32_t ubi) {
  ubi_attach_req request;
  std::memset(&request, 0, sizeof request);
  request.ubi_num = static_cast<std::int32_t>(ubi);
  request.mtd_num = static_cast<std::int32_t>(mtd);
  request.vid_hdr_offset = 0;   // the kernel's default
  request.max_beb_per1024 = 0;  // the kernel's default
  return deviceRequest("/dev/ubi_ctrl", O_RDONLY, kUbiAttachRequest, &request);
}

std::int32_t detachUbi(std::uint32_t ubi) {
  std::int32_t number = static_cast<std::int32_t>(ubi);
  return deviceRequest("/dev/ubi_ctrl", O_RDONLY, kUbiDetachRequest, &number);
}

std::int32_t makeUbiVolume(std::uint32_t ubi, std::string_view name) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/ubi%u", ubi);
  ubi_mkvol_req request;
  std::memset(&request, 0, sizeof request);
  request.vol_id = UBI_VOL_NUM_AUTO;
  request.alignment = 1;
  request.vol_type = UBI_DYNAMIC_VOLUME;
  // Unreadable counts ask for 0 bytes, which the kernel refuses: a failed volume then
  // shows as a failed mount.
  const std::uint64_t bytes =
      readSysfsNumber(ubi, "avail_eraseblocks") * readSysfsNumber(ubi, "eraseblock_size");
  request.bytes = static_cast<std::int64_t>(bytes);
  // The name field keeps its terminating zero.
  const std::size_t length = name.size() < UBI_MAX_VOLUME_NAME ? name.size() : UBI_MAX_VOLUME_NAME;
  request.name_len = static_cast<std::int16_t>(length);
  std::memcpy(request.name, name.data(), length);
  return deviceRequest(path, O_RDONLY, kUbiMakeVolumeRequest, &request);
}

FlashDevices& systemFlashDevices() {
  static SystemFlashDevices devices;
  return devices;
}

}  // namespace vl
