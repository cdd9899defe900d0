// The board's flash in the file tree: the root partition at "/flash" and, after a format,
// the kernel partition at "/flash/boot", as UBI/ubifs or yaffs.
#pragma once

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
// kernel partition alone.
[[nodiscard]] bool mountFlash(bool format);

}  // namespace vl
