#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "installer/board_queries.h"

namespace vl {
namespace {

class SystemDeviceIo final : public DeviceIo {
 public:
  int open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
  int ioctl(int fd, unsigned long request, void* argument) override {
    return ::ioctl(fd, request, argument);
  }
  void close(int fd) override { (void)::close(fd); }
};

// MEMGETINFO on one MTD device; false when it cannot be opened or the request fails.
bool readMtdInfo(DeviceIo& io, const char* path, int flags, mtd_info_user& info) {
  const int fd = io.open(path, flags);
  if (fd < 0) return false;
  const int result = io.ioctl(fd, kMtdInfoRequest, &info);
  io.close(fd);
  return result == 0;
}

}  // namespace

DeviceIo& systemDeviceIo() {
  static SystemDeviceIo io;
  return io;
}

Version boardMinVersion(DeviceIo& io) {
  FlashTagRequest request{};
  request.length = sizeof request.payload;
  request.tag = kFlashTagMinVersion;
  const int fd = io.open("/dev/flash", O_RDWR);
  if (fd < 0) return kNoVersion;
  const int result = io.ioctl(fd, kFlashTagRequest, &request);
  io.close(fd);
  if (result < 0) return kNoVersion;
  // The payload is a Version in the board's own byte order, as the driver keeps it; a
  // driver that reports more than the capacity gets no more than the capacity read.
  std::size_t length = request.length;
  if (length > sizeof request.payload) length = sizeof request.payload;
  Version version = kNoVersion;
  std::memcpy(&version, request.payload, length);
  return version;
}

bool boardHasFlag1000(DeviceIo& io) {
  const int fd = io.open("/dev/flash", O_RDONLY);
  if (fd < 0) return false;
  const int result = io.ioctl(fd, kFlashCapabilitiesRequest, nullptr);
  io.close(fd);
  return result > 0 && (result & 0x1000) != 0;
}

bool mtd0HasLargeEraseBlocks(DeviceIo& io) {
  mtd_info_user info{};
  return readMtdInfo(io, "/dev/mtd0", O_RDONLY, info) && info.erasesize == kLargeEraseBlock;
}

std::uint32_t mtdSize(std::uint32_t number, DeviceIo& io) {
  char path[128];
  std::snprintf(path, sizeof path, "%s/dev/mtd%u", "", number);
  mtd_info_user info{};
  if (!readMtdInfo(io, path, O_RDWR, info)) return 0;
  return info.size;
}

}  // namespace vl
