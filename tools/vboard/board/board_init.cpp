// The virtual board's own first process for the boots that are not installations:
//   "vbinit=smoke"    loads the board's driver modules, asks "/dev/flash" its questions,
//                     formats UBI on the flash, mounts ubifs and reads a file back after a
//                     detach, printing every answer (the kernel interface without the
//                     installer);
//   "vbinit=seed"     mounts the installed flash and leaves a user's configuration on it
//                     (files of several modes, owners and times under "/flash/rw/store",
//                     hello disabled by the user), for an installation that keeps it;
//   "vbinit=watch"    runs "/sbin/installer" as its child and prints the peak resident
//                     memory (VmHWM) that the kernel reports for every process while the
//                     installation runs (the installer ends the boot with its reboot);
//   "vbinit=manifest" (the default) attaches UBI on the installed flash, mounts it
//                     read-only and prints every path with its size, mode, owner, times
//                     and SHA-256, and the contents of the package database and marker
//                     files.
// Output lines begin with "vb:" so the rig can tell them from kernel messages. The
// program ends the boot with a reboot, which ends qemu (-no-reboot).
#include <dirent.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "crypto/hash.h"

namespace {

constexpr unsigned long kFlashName = 0x40204605;    // _IOR('F', 5, char[32]) on MIPS
constexpr unsigned long kFlashTag = 0xC0044626;     // _IOWR('F', 38, u32) on MIPS
constexpr unsigned long kFlashCaps = 0x2000462B;    // _IO('F', 43) on MIPS
constexpr unsigned long kPanicsClear = 0x20005003;  // _IO('P', 3) on MIPS

struct TagRecord {
  std::uint16_t length;
  std::uint16_t tag;
  std::uint8_t payload[4];
};
static_assert(sizeof(TagRecord) == 8);

std::string readText(const char* path, std::size_t limit = 4096) {
  std::string text;
  int fd = open(path, O_RDONLY);
  if (fd < 0) return text;
  text.resize(limit);
  ssize_t n = read(fd, text.data(), limit);
  close(fd);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

bool hasFlag(const char* flag) { return readText("/proc/cmdline").find(flag) != std::string::npos; }

void report(const char* what, int r) {
  std::printf("vb: %s %s\n", what, r == 0 ? "ok" : std::strerror(errno));
}

void loadModules() {
  utsname u{};
  uname(&u);
  std::string list = readText("/etc/vboard-modules");
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    std::string rel = list.substr(start, end - start);
    start = end + 1;
    if (rel.empty()) continue;
    std::string path = std::string("/lib/modules/") + u.release + "/" + rel;
    std::string image = readText(path.c_str(), 1 << 20);
    long r = syscall(SYS_init_module, image.data(), image.size(), "");
    std::printf("vb: module %s %s\n", rel.c_str(), r == 0 ? "loaded" : std::strerror(errno));
  }
}

void askFlashDriver() {
  int fd = open("/dev/flash", O_RDWR);
  if (fd < 0) {
    std::printf("vb: /dev/flash: %s\n", std::strerror(errno));
    return;
  }
  char name[33] = {};
  int r = ioctl(fd, kFlashName, name);
  std::printf("vb: board name %d \"%s\"\n", r, name);
  TagRecord rec{4, 37, {0xAA, 0xAA, 0xAA, 0xAA}};
  r = ioctl(fd, kFlashTag, &rec);
  std::uint32_t value = 0;
  std::memcpy(&value, rec.payload, sizeof value);
  std::printf("vb: tag 37 %d length %u value 0x%08x\n", r, rec.length, value);
  TagRecord other{4, 12, {}};
  r = ioctl(fd, kFlashTag, &other);
  std::printf("vb: tag 12 %d\n", r);
  r = ioctl(fd, kFlashCaps);
  std::printf("vb: capabilities %d flag %s\n", r, r > 0 && (r & 0x1000) ? "set" : "clear");
  close(fd);
  fd = open("/dev/panics", O_RDWR);
  r = fd < 0 ? -1 : ioctl(fd, kPanicsClear);
  std::printf("vb: panics %d\n", r);
  if (fd >= 0) close(fd);
  fd = open("/dev/lcd", O_RDWR);
  r = fd < 0 ? -1 : static_cast<int>(write(fd, "tarnwick", 8));
  std::printf("vb: lcd %d\n", r);
  if (fd >= 0) close(fd);
}

void showMtd(unsigned mtd) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/mtd%u", mtd);
  int fd = open(path, O_RDONLY);
  mtd_info_user info{};
  int r = fd < 0 ? -1 : ioctl(fd, MEMGETINFO, &info);
  if (fd >= 0) close(fd);
  std::printf("vb: mtd%u %d size %u erasesize %u\n", mtd, r, info.size, info.erasesize);
}

int attachUbi(int mtd, int ubi) {
  int fd = open("/dev/ubi_ctrl", O_RDONLY);
  if (fd < 0) return -1;
  ubi_attach_req req{};
  req.ubi_num = ubi;
  req.mtd_num = mtd;
  int r = ioctl(fd, UBI_IOCATT, &req);
  close(fd);
  return r;
}

int detachUbi(int ubi) {
  int fd = open("/dev/ubi_ctrl", O_RDONLY);
  if (fd < 0) return -1;
  std::int32_t num = ubi;
  int r = ioctl(fd, UBI_IOCDET, &num);
  close(fd);
  return r;
}

std::uint64_t sysfsNumber(int ubi, const char* file) {
  char path[64];
  std::snprintf(path, sizeof path, "/sys/class/ubi/ubi%d/%s", ubi, file);
  return std::strtoull(readText(path).c_str(), nullptr, 10);
}

int makeVolume(int ubi, const char* name) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/ubi%d", ubi);
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  ubi_mkvol_req req{};
  req.vol_id = UBI_VOL_NUM_AUTO;
  req.alignment = 1;
  req.bytes = static_cast<std::int64_t>(sysfsNumber(ubi, "avail_eraseblocks") *
                                        sysfsNumber(ubi, "eraseblock_size"));
  req.vol_type = UBI_DYNAMIC_VOLUME;
  req.name_len = static_cast<std::int16_t>(std::strlen(name));
  std::strncpy(req.name, name, UBI_MAX_VOLUME_NAME);
  int r = ioctl(fd, UBI_IOCMKVOL, &req);
  close(fd);
  return r;
}

unsigned activePair() {
  const char* text = std::getenv("activepart");
  return text == nullptr ? 0 : static_cast<unsigned>(std::strtoul(text, nullptr, 10));
}

bool mountFlash(unsigned long flags) {
  int k = static_cast<int>(2 * activePair());
  report("attach kernel partition", attachUbi(k, 0));
  report("attach root partition", attachUbi(k + 1, 1));
  mkdir("/flash", 0755);
  int r = mount("ubi1:Pellorin", "/flash", "ubifs", flags, nullptr);
  report("mount ubi1:Pellorin", r);
  if (r != 0) return false;
  mkdir("/flash/boot", 0755);
  report("mount ubi0:Kernel", mount("ubi0:Kernel", "/flash/boot", "ubifs", flags, "compr=none"));
  return true;
}

void unmountFlash() {
  umount("/flash/boot");
  report("unmount", umount("/flash"));
  report("detach", detachUbi(0) | detachUbi(1));
}

void smoke() {
  loadModules();
  askFlashDriver();
  for (unsigned mtd = 0; mtd < 4; ++mtd) showMtd(mtd);
  int k = static_cast<int>(2 * activePair());
  report("attach kernel partition", attachUbi(k, 0));
  report("attach root partition", attachUbi(k + 1, 1));
  report("volume Kernel", makeVolume(0, "Kernel"));
  report("volume Pellorin", makeVolume(1, "Pellorin"));
  report("detach", detachUbi(0) | detachUbi(1));
  if (!mountFlash(0)) return;
  int fd = open("/flash/probe", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  report("write probe", fd >= 0 && write(fd, "flash survives", 14) == 14 ? 0 : -1);
  if (fd >= 0) close(fd);
  sync();
  unmountFlash();
  if (!mountFlash(MS_RDONLY)) return;
  std::printf("vb: probe reads \"%s\"\n", readText("/flash/probe").c_str());
  unmountFlash();
}

bool writeFile(const char* path, const char* text, mode_t mode, uid_t uid, gid_t gid, time_t when) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  std::size_t n = std::strlen(text);
  bool ok = write(fd, text, n) == static_cast<ssize_t>(n);
  ok = close(fd) == 0 && ok;
  timespec times[2] = {{when, 0}, {when, 0}};
  return ok && fchmodat(AT_FDCWD, path, mode, 0) == 0 && lchown(path, uid, gid) == 0 &&
         utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
}

void seed() {
  if (!mountFlash(0)) return;
  mkdir("/flash/rw/store", 0750);
  mkdir("/flash/rw/store/ssh", 0700);
  bool ok = writeFile("/flash/rw/store/user.conf", "name=alder\n", 0640, 1000, 100, 1600000000) &&
            writeFile("/flash/rw/store/ssh/key", "secret\n", 0600, 0, 0, 1500000000) &&
            symlink("user.conf", "/flash/rw/store/current") == 0 &&
            writeFile("/flash/var/pdb/hello/disabled", "user\n", 0644, 0, 0, 1600000000);
  timespec times[2] = {{1400000000, 0}, {1400000000, 0}};
  ok = ok && chown("/flash/rw/store/ssh", 1000, 100) == 0 &&
       utimensat(AT_FDCWD, "/flash/rw/store/ssh", times, 0) == 0;
  report("seed", ok ? 0 : -1);
  sync();
  unmountFlash();
}

std::string hexDigest(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return "unreadable";
  vl::Sha256 hash;
  std::vector<unsigned char> buf(65536);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0)
    hash.update(buf.data(), static_cast<std::size_t>(n));
  close(fd);
  if (n < 0) return "unreadable";
  std::uint8_t digest[32];
  hash.final(digest);
  std::string hex;
  char two[3];
  for (auto b : digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

// Escapes a file's contents onto one line: printable ASCII as is, the rest as \xNN.
std::string escaped(const std::string& bytes) {
  std::string out;
  char code[5];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    std::snprintf(code, sizeof code, "\\x%02x", c);
    out += code;
  }
  return out;
}

bool isListedContent(const std::string& path) {
  static const char* const markers[] = {"/flash/rw/RESET", "/flash/rw/REBOOT",
                                        "/flash/rw/postinstall", "/flash/UPGRADED",
                                        "/flash/BRANDING_INSTALLED"};
  for (const char* m : markers) {
    if (path == m) return true;
  }
  bool database = path.rfind("/flash/var/pdb/", 0) == 0;
  return database && path.substr(path.rfind('/') + 1) != "image";
}

void listTree(const std::string& dir, std::vector<std::string>& contents) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    char type = S_ISDIR(st.st_mode)   ? 'd'
                : S_ISLNK(st.st_mode) ? 'l'
                : S_ISREG(st.st_mode) ? 'f'
                                      : '?';
    std::string what = "-";
    if (type == 'f') what = hexDigest(path.c_str());
    if (type == 'l') {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      what = "-> " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    std::printf("vb: entry %c %04o %u:%u %lld %lld %lld %s %s\n", type, st.st_mode & 07777,
                st.st_uid, st.st_gid, static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_atime), static_cast<long long>(st.st_mtime),
                path.c_str(), what.c_str());
    if (type == 'f' && isListedContent(path)) contents.push_back(path);
    if (type == 'd') listTree(path, contents);
  }
}

void manifest() {
  if (!mountFlash(MS_RDONLY)) return;
  std::printf("vb: manifest begin\n");
  std::vector<std::string> contents;
  listTree("/flash", contents);
  for (const auto& path : contents) {
    std::printf("vb: content %s \"%s\"\n", path.c_str(),
                escaped(readText(path.c_str(), 1 << 16)).c_str());
  }
  std::printf("vb: manifest end\n");
  unmountFlash();
}

// Highest VmHWM (kB) of any process now running, by command name, printed when it grows.
void notePeaks(std::vector<std::pair<std::string, long>>& peaks) {
  DIR* d = opendir("/proc");
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9' || std::strcmp(e->d_name, "1") == 0) continue;
    std::string status = readText(("/proc/" + std::string(e->d_name) + "/status").c_str());
    std::size_t name = status.find("Name:\t"), hwm = status.find("VmHWM:");
    if (name == std::string::npos || hwm == std::string::npos) continue;
    std::string comm = status.substr(name + 6, status.find('\n', name) - name - 6);
    long kb = std::strtol(status.c_str() + hwm + 6, nullptr, 10);
    auto it = std::find_if(peaks.begin(), peaks.end(), [&](auto& p) { return p.first == comm; });
    if (it == peaks.end()) it = peaks.insert(peaks.end(), {comm, 0});
    if (kb <= it->second) continue;
    it->second = kb;
    std::printf("vb: peak %s %ld kB\n", comm.c_str(), kb);
  }
  closedir(d);
}

void watchInstaller() {
  pid_t pid = fork();
  if (pid == 0) {
    char name[] = "installer";
    char* argv[] = {name, nullptr};
    execv("/sbin/installer", argv);
    _exit(127);
  }
  std::vector<std::pair<std::string, long>> peaks;
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    notePeaks(peaks);
    usleep(50000);
  }
}

}  // namespace

int main() {
  // Never end a machine that is not the virtual board: this program is its first process.
  if (getpid() != 1) {
    std::fprintf(stderr, "board_init: only runs as the first process of the virtual board\n");
    return 1;
  }
  mount("proc", "/proc", "proc", 0, nullptr);
  mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
  mkdir("/sys", 0755);
  mount("sysfs", "/sys", "sysfs", 0, nullptr);
  if (hasFlag("vbinit=smoke")) {
    smoke();
  } else if (hasFlag("vbinit=watch")) {
    watchInstaller();
  } else if (hasFlag("vbinit=seed")) {
    seed();
  } else {
    manifest();
  }
  std::printf("vb: done\n");
  std::fflush(stdout);
  sync();
  reboot(RB_AUTOBOOT);
  for (;;) pause();
}
