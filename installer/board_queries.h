// Read-only questions to the board's flash drivers: "/dev/flash" (the board's own flash
// information driver) and the kernel's MTD partitions. The driver answers raw records;
// what they mean is decided by the pure decoders below. Failures show only as 0, false
// or an empty name.
#pragma once

#include <linux/ioctl.h>
#include <mtd/mtd-user.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "packages/board_queries.h"
#include "packages/version.h"

namespace vl {

// Tag request of "/dev/flash", in the board's native byte order.
struct FlashTagRequest {
  std::uint16_t length;  // in: payload capacity; out: payload bytes the driver wrote
  std::uint16_t tag;
  std::uint8_t payload[4];
};
static_assert(sizeof(FlashTagRequest) == 8);
static_assert(sizeof(mtd_info_user) == 32);

using BoardNameBytes = std::array<char, 32>;

inline constexpr std::uint16_t kFlashTagMinVersion = 37;
// The driver's requests. The size field of the tag request covers the payload only.
inline constexpr unsigned long kFlashTagRequest = _IOWR('F', 38, std::uint32_t);
inline constexpr unsigned long kFlashCapabilitiesRequest = _IO('F', 43);
inline constexpr unsigned long kFlashBoardNameRequest = _IOR('F', 5, BoardNameBytes);
inline constexpr unsigned long kMtdInfoRequest = MEMGETINFO;

// The board's flash drivers, asked in their own terms. Each answer opens its device,
// issues one request and closes it on every path.
class FlashDriver {
 public:
  virtual ~FlashDriver() = default;
  // The tag request for the lowest accepted release as the driver filled it; none when
  // "/dev/flash" does not open or the request fails.
  virtual std::optional<FlashTagRequest> minVersionTag() = 0;
  // The result of the capabilities request; -1 when "/dev/flash" does not open.
  virtual int capabilities() = 0;
  // MEMGETINFO of "/dev/mtd<number>", opened for writing too when asked; none on failure.
  virtual std::optional<mtd_info_user> mtdInfo(std::uint32_t number, bool readWrite) = 0;
  // The board name buffer as the driver filled it; none on failure.
  virtual std::optional<BoardNameBytes> boardName() = 0;
};

// The running kernel.
FlashDriver& systemFlashDriver();

// The payload bytes the driver reports, at most 4, as a Version in native order.
Version decodeMinVersion(const FlashTagRequest& answer);
// Bit 0x1000 of a successful (positive) capabilities result.
bool decodeFlag1000(int result);
// 256 KiB erase blocks.
bool decodeLargeEraseBlocks(const mtd_info_user& info);
// The text up to the first zero, or all 32 bytes when the driver left none.
std::string decodeBoardName(const BoardNameBytes& bytes);

Version boardMinVersion(FlashDriver& driver = systemFlashDriver());
bool boardHasFlag1000(FlashDriver& driver = systemFlashDriver());
bool mtd0HasLargeEraseBlocks(FlashDriver& driver = systemFlashDriver());
// Size in bytes of "/dev/mtd<number>"; 0 on failure.
std::uint32_t mtdSize(std::uint32_t number, FlashDriver& driver = systemFlashDriver());
// The board's name as its flash driver reports it; empty when it gives none.
std::string boardName(FlashDriver& driver = systemFlashDriver());

// The planner's view of the board, answered by the drivers.
class LinuxBoardQueries final : public BoardQueries {
 public:
  explicit LinuxBoardQueries(FlashDriver& driver = systemFlashDriver()) : driver_(driver) {}
  Version boardMinVersion() const override { return vl::boardMinVersion(driver_); }
  bool boardHasFlag1000() const override { return vl::boardHasFlag1000(driver_); }
  bool mtd0HasLargeEraseBlocks() const override { return vl::mtd0HasLargeEraseBlocks(driver_); }

 private:
  FlashDriver& driver_;
};

}  // namespace vl
