#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "installer/board_queries.h"
#include "installer/system.h"

namespace vl {
namespace {

class SystemFlashDriver final : public FlashDriver {
 public:
  std::optional<FlashTagRequest> minVersionTag() override {
    FlashTagRequest request{};
    request.length = sizeof request.payload;
    request.tag = kFlashTagMinVersion;
    if (deviceRequest("/dev/flash", O_RDWR, kFlashTagRequest, &request) < 0) return std::nullopt;
    return request;
  }
  int capabilities() override {
    return deviceRequest("/dev/flash", O_RDONLY, kFlashCapabilitiesRequest, nullptr);
  }
  std::optional<mtd_info_user> mtdInfo(std::uint32_t number, bool readWrite) override {
    char path[128];
    std::snprintf(path, sizeof path, "%s/dev/mtd%u", "", number);
    mtd_info_user info{};
    if (deviceRequest(path, readWrite ? O_RDWR : O_RDONLY, kMtdInfoRequest, &info) != 0) {
      return std::nullopt;
    }
    return info;
  }
  std::optional<BoardNameBytes> boardName() override {
    BoardNameBytes bytes{};
    if (deviceRequest("/dev/flash", O_RDWR, kFlashBoardNameRequest, bytes.data()) < 0) {
      return std::nullopt;
    }
    return bytes;
  }
};

}  // namespace

FlashDriver& systemFlashDriver() {
  static SystemFlashDriver driver;
  return driver;
}

Version decodeMinVersion(const FlashTagRequest& answer) {
  // A driver that reports more than the capacity gets no more than the capacity read.
  std::size_t length = answer.length;
  if (length > sizeof answer.payload) length = sizeof answer.payload;
  Version version = kNoVersion;
  std::memcpy(&version, answer.payload, length);
  return version;
}

bool decodeFlag1000(int result) { return result > 0 && (result & 0x1000) != 0; }

bool decodeLargeEraseBlocks(const mtd_info_user& info) { return info.erasesize == 0x40000; }

std::string decodeBoardName(const BoardNameBytes& bytes) {
  const void* zero = std::memchr(bytes.data(), 0, bytes.size());
  const std::size_t length =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data())
                      : bytes.size();
  return std::string(bytes.data(), length);
}

Version boardMinVersion(FlashDriver& driver) {
  const auto answer = driver.minVersionTag();
  return answer ? decodeMinVersion(*answer) : kNoVersion;
}

bool boardHasFlag1000(FlashDriver& driver) { return decodeFlag1000(driver.capabilities()); }

bool mtd0HasLargeEraseBlocks(FlashDriver& driver) {
  const auto info = driver.mtdInfo(0, false);
  return info && decodeLargeEraseBlocks(*info);
}

std::uint32_t mtdSize(std::uint32_t number, FlashDriver& driver) {
  const auto info = driver.mtdInfo(number, true);
  return info ? info->size : 0;
}

std::string boardName(FlashDriver& driver) {
  const auto bytes = driver.boardName();
  return bytes ? decodeBoardName(*bytes) : std::string();
}

}  // namespace vl
