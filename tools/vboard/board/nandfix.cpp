// "/sbin/nandfix" of the virtual board: erases the flash partitions of the active pair so
// that the installer's mountFlash(true) finds them blank (UBI formats an erased device on
// attach). "-ea" erases the kernel and the root partition, "-e0" the kernel partition
// alone (boards without a separate root partition). Exits 0 only when every erase block
// of those partitions was erased and reads back as 0xFF.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The pair index as the installer reads it: leading decimal digits, 0 when absent.
unsigned activePair() {
  const char* text = std::getenv("activepart");
  return text == nullptr ? 0 : static_cast<unsigned>(std::strtoul(text, nullptr, 10));
}

bool readsErased(int fd, std::uint32_t offset, std::uint32_t length) {
  std::vector<unsigned char> block(length);
  if (pread(fd, block.data(), length, offset) != static_cast<ssize_t>(length)) return false;
  for (unsigned char b : block) {
    if (b != 0xFF) return false;
  }
  return true;
}

bool erasePartition(unsigned mtd) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/mtd%u", mtd);
  int fd = open(path, O_RDWR);
  if (fd < 0) {
    std::fprintf(stderr, "nandfix: %s: %s\n", path, std::strerror(errno));
    return false;
  }
  mtd_info_user info{};
  bool ok = ioctl(fd, MEMGETINFO, &info) == 0 && info.erasesize != 0;
  for (std::uint32_t at = 0; ok && at < info.size; at += info.erasesize) {
    erase_info_user erase{at, info.erasesize};
    ok = ioctl(fd, MEMERASE, &erase) == 0 && readsErased(fd, at, info.erasesize);
  }
  if (!ok) std::fprintf(stderr, "nandfix: %s not erased: %s\n", path, std::strerror(errno));
  // Closing a partition opened for writing flushes it to the backing device.
  return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool both = argc == 2 && std::strcmp(argv[1], "-ea") == 0;
  bool kernelOnly = argc == 2 && std::strcmp(argv[1], "-e0") == 0;
  if (!both && !kernelOnly) {
    std::fprintf(stderr, "usage: nandfix -ea | -e0\n");
    return 2;
  }
  unsigned kernel = 2 * activePair();
  if (!erasePartition(kernel)) return 1;
  if (both && !erasePartition(kernel + 1)) return 1;
  return 0;
}
