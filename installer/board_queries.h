// Read-only questions to the board's flash drivers: "/dev/flash" (the board's own flash
// information driver) and the kernel's MTD partitions. Each call opens its device, asks
// once and closes it on every path; failures show only as 0 or false.
#pragma once

#include <linux/ioctl.h>
#include <mtd/mtd-user.h>

#include <cstdint>

#include "packages/board_queries.h"
#include "packages/version.h"

namespace vl {

// The three system calls the queries use. The drivers exist only on a board, so tests
// put a fake device behind this.
class DeviceIo {
 public:
  virtual ~DeviceIo() = default;
  // A descriptor, or -1.
  virtual int open(const char* path, int flags) = 0;
  // The request's result; negative on failure.
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual void close(int fd) = 0;
};

// The running kernel.
DeviceIo& systemDeviceIo();

// Tag request of "/dev/flash", in the board's native byte order.
struct FlashTagRequest {
  std::uint16_t length;  // in: payload capacity; out: payload bytes the driver wrote
  std::uint16_t tag;
  std::uint8_t payload[4];
};
static_assert(sizeof(FlashTagRequest) == 8);

inline constexpr std::uint16_t kFlashTagMinVersion = 37;
// The driver's requests. The size field of the tag request covers the payload only.
inline constexpr unsigned long kFlashTagRequest = _IOWR('F', 38, std::uint32_t);
inline constexpr unsigned long kFlashCapabilitiesRequest = _IO('F', 43);
inline constexpr unsigned long kMtdInfoRequest = MEMGETINFO;
inline constexpr std::uint32_t kLargeEraseBlock = 0x40000;

Version boardMinVersion(DeviceIo& io = systemDeviceIo());
bool boardHasFlag1000(DeviceIo& io = systemDeviceIo());
bool mtd0HasLargeEraseBlocks(DeviceIo& io = systemDeviceIo());
// Size in bytes of "/dev/mtd<number>"; 0 on failure.
std::uint32_t mtdSize(std::uint32_t number, DeviceIo& io = systemDeviceIo());

// The planner's view of the board, answered by the drivers through io.
class LinuxBoardQueries final : public BoardQueries {
 public:
  explicit LinuxBoardQueries(DeviceIo& io = systemDeviceIo()) : io_(io) {}
  Version boardMinVersion() const override { return vl::boardMinVersion(io_); }
  bool boardHasFlag1000() const override { return vl::boardHasFlag1000(io_); }
  bool mtd0HasLargeEraseBlocks() const override { return vl::mtd0HasLargeEraseBlocks(io_); }

 private:
  DeviceIo& io_;
};

}  // namespace vl
