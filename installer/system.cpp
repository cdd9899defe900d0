#include "installer/system.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer/board_queries.h"

namespace vl {

bool commandLineHas(std::string_view commandLine, std::string_view flag) {
  return commandLine.find(flag) != std::string_view::npos;
}

bool hasKernelFlag(std::string_view flag) {
  const int fd = ::open("/proc/cmdline", O_RDONLY | O_CLOEXEC);
  // An image without "/proc/cmdline" runs with every flag set: silent console, UBI on.
  if (fd < 0) return true;
  char text[1024];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  (void)::close(fd);
  if (n < 0) return true;
  return commandLineHas(std::string_view(text, static_cast<std::size_t>(n)), flag);
}

int loadModule(std::string_view path, const char* parameters) {
  utsname names{};
  (void)::uname(&names);
  std::string full = "/lib/modules/";
  full += names.release;
  full += '/';
  full += path;
  const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
  // A module the board's image does not carry is passed over without a word.
  if (fd < 0) return -1;
  struct stat status {};
  void* image = MAP_FAILED;
  if (::fstat(fd, &status) == 0 && status.st_size > 0) {
    image = ::mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_SHARED, fd, 0);
  }
  if (image == MAP_FAILED) {
    std::printf("ERROR: could not load module %.*s\n", static_cast<int>(path.size()), path.data());
    (void)::close(fd);
    return -1;
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  // Refusals (hardware the board lacks) are expected and stay silent.
  const int result = static_cast<int>(::syscall(SYS_init_module, image, size, parameters));
  (void)::munmap(image, size);
  (void)::close(fd);
  return result;
}

int runProgram(const char* root, const char* path, const std::vector<const char*>& arguments) {
  // 16 entries: the path, at most 14 texts, and the terminating null.
  const char* argv[16] = {};
  argv[0] = path;
  std::size_t count = 1;
  for (const char* argument : arguments) {
    if (argument == nullptr || count == 15) break;
    argv[count++] = argument;
  }
  // The child must not repeat lines still buffered in this process.
  (void)std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    for (int fd = 0; fd < 16; ++fd) (void)::close(fd);
    (void)::open("/dev/null", O_RDONLY);
    (void)::open("/dev/null", O_WRONLY);
    (void)::dup(1);
    if (root != nullptr && ::chroot(root) != 0) ::_exit(127);
    ::execve(path, const_cast<char* const*>(argv), environ);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

std::string architectureFor(std::uint32_t memoryKb, std::uint64_t flashBytes) {
  // A board with less than 32 MiB of memory counts as small up to 16 MiB of flash,
  // a larger one up to 8 MiB.
  const std::uint64_t limit = memoryKb < 32768 ? 0x1000001 : 0x800001;
  return flashBytes < limit ? "smips" : "mips";
}

namespace {

// "MemTotal" in kilobytes; 0 (a small board) when it cannot be read.
std::uint32_t memoryTotalKb() {
  std::FILE* file = std::fopen("/proc/meminfo", "re");
  if (file == nullptr) return 0;
  char line[256];
  unsigned total = 0;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::sscanf(line, "MemTotal: %u", &total) == 1) break;
  }
  (void)std::fclose(file);
  return total;
}

}  // namespace

std::string detectArchitecture() {
  const char* arch = std::getenv("arch");
  if (arch != nullptr && std::strcmp(arch, "smips") == 0) return "smips";
  const char* board = std::getenv("board");
  if (board != nullptr && std::strcmp(board, "vm") == 0) return "mips";
  const std::uint64_t flash = std::uint64_t{mtdSize(0)} + mtdSize(1);
  return architectureFor(memoryTotalKb(), flash);
}

int deviceRequest(const char* path, int flags, unsigned long request, void* record) {
  const int fd = ::open(path, flags | O_CLOEXEC);
  if (fd < 0) return -1;
  const int result = ::ioctl(fd, request, record);
  (void)::close(fd);
  return result;
}

}  // namespace vl
