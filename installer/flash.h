// The board's flash in the file tree: the root partition at "/flash" and, after a format,
// the kernel partition at "/flash/boot", as UBI/ubifs or yaffs.
#pragma once

#include <cstdint>

namespace vl {

// What the install sequence asks of the flash, in its own terms. The installer binary
// links the board's implementation; a test build of the program can link a stand-in.
class FlashStorage {
 public:
  virtual ~FlashStorage() = default;
  // The old system as it is, at "/flash"; true when mounted.
  [[nodiscard]] virtual bool mountOld() = 0;
  // "/flash/boot" and "/flash" unmounted, failures ignored.
  virtual void unmount() = 0;
  // The UBI devices released before the formatter runs (only with "ubifs_support").
  virtual void detach() = 0;
  // The freshly formatted partitions at "/flash" and "/flash/boot"; true when "/flash"
  // is mounted.
  [[nodiscard]] virtual bool mountFormatted() = 0;
};

// The flash of this build: the board's in the installer binary.
FlashStorage& boardFlash();

// The board's mount decisions: UBI first with "ubifs_support", then yaffs, then the
// kernel partition alone. Reads the kernel command line and "activepart".
[[nodiscard]] bool mountFlash(bool format);

// One row of the flash's mount table.
struct FlashMount {
  const char* source;
  const char* target;
  const char* type;
  unsigned long flags;
  const char* data;  // none, or the file system's options
};

// What the mount decisions ask of the kernel, in the board's terms. The board has the
// real one; tests keep a recording stand-in.
class FlashDevices {
 public:
  virtual ~FlashDevices() = default;
  // The kernel's results: negative on failure.
  virtual std::int32_t attachUbi(std::uint32_t mtd, std::uint32_t ubi) = 0;
  virtual std::int32_t detachUbi(std::uint32_t ubi) = 0;
  virtual std::int32_t makeUbiVolume(std::uint32_t ubi, const char* name) = 0;
  // The MTD block device node of partition minor at path; an existing one stays.
  virtual void makeBlockNode(const char* path, std::uint32_t minor) = 0;
  [[nodiscard]] virtual bool mount(const FlashMount& row) = 0;
  virtual void unmount(const char* target) = 0;
  virtual void makeDirectory(const char* path) = 0;
};

// What decides the way of mounting: the command-line flags and the active pair.
struct FlashSettings {
  bool ubifsSupport = false;  // "ubifs_support"
  bool noNand = false;        // "no-nand"
  std::uint32_t activePair = 0;
};

// "activepart" as the kernel passed it: the decimal value of its leading digits, 0 when
// there are none or the text is absent.
std::uint32_t activePairIndex(const char* text);

[[nodiscard]] bool mountFlash(bool format, const FlashSettings& settings, FlashDevices& devices);

}  // namespace vl
