#include "installer/board_queries.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vl {
namespace {

// A stateful stand-in for the board's drivers: devices by path, each with the access it
// allows, what its request answers and what it writes back. It records every call and
// counts descriptors that were not closed.
class FakeDevices final : public DeviceIo {
 public:
  struct Device {
    int result = 0;
    std::vector<std::uint8_t> answer;  // bytes written over the request record
  };
  struct Call {
    std::string path;
    int flags;
    unsigned long request;
    std::vector<std::uint8_t> sent;  // the request record as the caller filled it
  };

  void add(const std::string& path, Device device) { devices_[path] = std::move(device); }

  int open(const char* path, int flags) override {
    calls.push_back({path, flags, 0, {}});
    if (devices_.find(path) == devices_.end()) return -1;
    ++openCount;
    open_[nextFd_] = path;
    return nextFd_++;
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    const Device& device = devices_.at(open_.at(fd));
    Call& call = calls.back();
    call.request = request;
    if (argument != nullptr && !device.answer.empty()) {
      const auto* bytes = static_cast<const std::uint8_t*>(argument);
      call.sent.assign(bytes, bytes + device.answer.size());
      std::memcpy(argument, device.answer.data(), device.answer.size());
    }
    return device.result;
  }
  void close(int fd) override {
    open_.erase(fd);
    --openCount;
  }

  std::vector<Call> calls;
  int openCount = 0;

 private:
  std::map<std::string, Device> devices_;
  std::map<int, std::string> open_;
  int nextFd_ = 3;
};

std::vector<std::uint8_t> tagAnswer(std::uint16_t length, std::uint32_t value) {
  FlashTagRequest record{};
  record.length = length;
  record.tag = kFlashTagMinVersion;
  std::memcpy(record.payload, &value, sizeof value);  // the driver's native order
  std::vector<std::uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

std::vector<std::uint8_t> mtdAnswer(std::uint32_t size, std::uint32_t eraseSize) {
  mtd_info_user info{};
  info.type = MTD_NANDFLASH;
  info.size = size;
  info.erasesize = eraseSize;
  info.writesize = 2048;
  std::vector<std::uint8_t> bytes(sizeof info);
  std::memcpy(bytes.data(), &info, sizeof info);
  return bytes;
}

// The board's release bound as the first two bytes of a native 32-bit word.
std::uint32_t firstTwoBytes(std::uint32_t value) {
  if constexpr (std::endian::native == std::endian::big) return value & 0xFFFF0000u;
  return value & 0x0000FFFFu;
}

TEST(BoardRequests, MatchTheBoardsKernelNumbers) {
  static_assert(sizeof(mtd_info_user) == 32);
#if defined(__mips__)
  EXPECT_EQ(kFlashTagRequest, 0xC0044626ul);
  EXPECT_EQ(kFlashCapabilitiesRequest, 0x2000462Bul);
  EXPECT_EQ(kMtdInfoRequest, 0x40204D01ul);
#elif defined(__x86_64__)
  EXPECT_EQ(kFlashTagRequest, 0xC0044626ul);
  EXPECT_EQ(kFlashCapabilitiesRequest, 0x462Bul);
  EXPECT_EQ(kMtdInfoRequest, 0x80204D01ul);
#else
  GTEST_SKIP() << "no reference numbers for this processor";
#endif
}

struct MinVersionCase {
  const char* name;
  bool present;
  int result;
  std::uint16_t length;
  std::uint32_t expected;
};

TEST(BoardMinVersion, FollowsTheDriversAnswer) {
  const std::uint32_t value = makeVersion(6, 49, 'f', 10);
  const MinVersionCase cases[] = {
      {"missing device", false, 0, 4, 0},
      {"request fails", true, -1, 4, 0},
      {"four bytes", true, 0, 4, value},
      {"positive result", true, 1, 4, value},
      {"no bytes", true, 0, 0, 0},
      {"two bytes", true, 0, 2, firstTwoBytes(value)},
      {"overlong length", true, 0, 9, value},
  };
  for (const MinVersionCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevices devices;
    if (c.present) devices.add("/dev/flash", {c.result, tagAnswer(c.length, value)});
    EXPECT_EQ(boardMinVersion(devices), c.expected);
    EXPECT_EQ(devices.openCount, 0);
    ASSERT_EQ(devices.calls.size(), 1u);
    EXPECT_EQ(devices.calls[0].path, "/dev/flash");
    EXPECT_EQ(devices.calls[0].flags, O_RDWR);
    if (!c.present) continue;
    EXPECT_EQ(devices.calls[0].request, kFlashTagRequest);
    FlashTagRequest sent{};
    std::memcpy(&sent, devices.calls[0].sent.data(), sizeof sent);
    EXPECT_EQ(sent.length, 4);
    EXPECT_EQ(sent.tag, 37);
  }
}

TEST(BoardHasFlag1000, NeedsAPositiveResultWithTheBit) {
  const struct {
    bool present;
    int result;
    bool expected;
  } cases[] = {
      {false, 0x1000, false}, {true, -1, false},     {true, 0, false},     {true, 0x1000, true},
      {true, 0x1001, true},   {true, 0x0FFF, false}, {true, -4096, false},  // bit 0x1000 set in a
                                                                            // failure result
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    FakeDevices devices;
    if (c.present) devices.add("/dev/flash", {c.result, {}});
    EXPECT_EQ(boardHasFlag1000(devices), c.expected);
    EXPECT_EQ(devices.openCount, 0);
    ASSERT_EQ(devices.calls.size(), 1u);
    EXPECT_EQ(devices.calls[0].flags, O_RDONLY);
    if (c.present) {
      EXPECT_EQ(devices.calls[0].request, kFlashCapabilitiesRequest);
    }
  }
}

TEST(Mtd0HasLargeEraseBlocks, OnlyFor256KiBBlocks) {
  const struct {
    bool present;
    int result;
    std::uint32_t eraseSize;
    bool expected;
  } cases[] = {
      {true, 0, 0x20000, false}, {true, 0, 0x40000, true},   {true, -1, 0x40000, false},
      {true, 1, 0x40000, false}, {false, 0, 0x40000, false}, {true, 0, 0x80000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.eraseSize);
    FakeDevices devices;
    if (c.present) devices.add("/dev/mtd0", {c.result, mtdAnswer(0x100000, c.eraseSize)});
    EXPECT_EQ(mtd0HasLargeEraseBlocks(devices), c.expected);
    EXPECT_EQ(devices.openCount, 0);
    ASSERT_EQ(devices.calls.size(), 1u);
    EXPECT_EQ(devices.calls[0].path, "/dev/mtd0");
    EXPECT_EQ(devices.calls[0].flags, O_RDONLY);
    if (c.present) {
      EXPECT_EQ(devices.calls[0].request, kMtdInfoRequest);
    }
  }
}

TEST(MtdSize, AsksTheNumberedPartition) {
  FakeDevices devices;
  devices.add("/dev/mtd1", {0, mtdAnswer(0x7C00000, 0x20000)});
  devices.add("/dev/mtd2", {-1, mtdAnswer(0x400000, 0x20000)});
  devices.add("/dev/mtd4294967295", {0, mtdAnswer(0x1000, 0x20000)});
  EXPECT_EQ(mtdSize(1, devices), 0x7C00000u);
  EXPECT_EQ(mtdSize(2, devices), 0u);
  EXPECT_EQ(mtdSize(3, devices), 0u);
  EXPECT_EQ(mtdSize(0xFFFFFFFF, devices), 0x1000u);
  EXPECT_EQ(devices.openCount, 0);
  for (const FakeDevices::Call& call : devices.calls) EXPECT_EQ(call.flags, O_RDWR);
  EXPECT_EQ(devices.calls[2].path, "/dev/mtd3");
}

// The kernel's own devices: this machine has no MTD, and a non-device refuses the
// request, so every query gives its failure answer through the real system calls.
TEST(SystemDeviceIo, FailuresOfTheRealCallsGiveTheFailureAnswers) {
  DeviceIo& io = systemDeviceIo();
  EXPECT_EQ(io.open("/nonexistent/flash", O_RDONLY), -1);
  const int fd = io.open("/proc/self/stat", O_RDONLY);
  ASSERT_GE(fd, 0);
  mtd_info_user info{};
  EXPECT_LT(io.ioctl(fd, kMtdInfoRequest, &info), 0);
  io.close(fd);
}

}  // namespace
}  // namespace vl
