// The kernel's UBI and MTD requests for the flash: attach and detach a partition as a
// UBI device, make its one volume, and the real FlashDevices of the board. Each opens
// its device, issues one request and closes it on every path.
#pragma once

#include <linux/ioctl.h>
#include <mtd/ubi-user.h>

#include <cstdint>
#include <string_view>

#include "installer/flash.h"

namespace vl {

// The kernel's records, as the board's kernel lays them out.
static_assert(sizeof(ubi_attach_req) == 24);
static_assert(sizeof(ubi_mkvol_req) == 152);

inline constexpr unsigned long kUbiAttachRequest = UBI_IOCATT;
inline constexpr unsigned long kUbiDetachRequest = UBI_IOCDET;
inline constexpr unsigned long kUbiMakeVolumeRequest = UBI_IOCMKVOL;

// The request's result; -1 when "/dev/ubi_ctrl" cannot be opened.
std::int32_t attachUbi(std::uint32_t mtd, std::uint32_t ubi);
std::int32_t detachUbi(std::uint32_t ubi);
// One dynamic volume over every erase block the device has free. The request's result;
// -1 when "/dev/ubi<ubi>" cannot be opened.
std::int32_t makeUbiVolume(std::uint32_t ubi, std::string_view name);

// The running kernel.
FlashDevices& systemFlashDevices();

}  // namespace vl
