// Starts the sandboxed installer as the first process of a board: PID 1 of a fresh PID
// namespace (its reboot then ends only that namespace), with a mount namespace around a
// board root of its own. It refuses to start the installer anywhere else.
//
//   board_launcher ROOT INSTALLER PROBE PANICS
//
// ROOT becomes "/", INSTALLER its "/init", PROBE its "/sbin/nandfix"; PANICS 1 gives the
// board a "/dev/panics". ROOT/cmdline, when present, is the kernel command line. Exit
// status 0 when the board rebooted, 1 when it ended otherwise, 2 when it never started.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool fail(const char* what) {
  std::fprintf(stderr, "board_launcher: %s: %s\n", what, std::strerror(errno));
  return false;
}

bool bindFile(const std::string& source, const std::string& target) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT, 0755);
  if (fd >= 0) ::close(fd);
  return ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// The board root: kernel file systems, a private "/dev" with only the nodes the board
// needs, the two programs.
bool prepareRoot(const std::string& root, const char* installer, const char* probe, bool panics) {
  utsname names{};
  ::uname(&names);
  for (const char* d :
       {"/proc", "/sys", "/dev", "/sbin", "/flash", "/ram", "/lib", "/lib/modules"}) {
    (void)::mkdir((root + d).c_str(), 0755);
  }
  (void)::mkdir((root + "/lib/modules/" + names.release).c_str(), 0755);
  if (::mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0) return fail("proc");
  (void)::mount("sysfs", (root + "/sys").c_str(), "sysfs", 0, nullptr);
  if (::mount("tmpfs", (root + "/dev").c_str(), "tmpfs", 0, "mode=0755") != 0) return fail("dev");
  if (::mknod((root + "/dev/null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
    return fail("/dev/null");
  }
  if (panics && !bindFile("/dev/null", root + "/dev/panics")) return fail("/dev/panics");
  if (!bindFile(installer, root + "/init") || !bindFile(probe, root + "/sbin/nandfix")) {
    return fail("programs");
  }
  if (::access((root + "/cmdline").c_str(), F_OK) == 0 &&
      ::mount((root + "/cmdline").c_str(), (root + "/proc/cmdline").c_str(), nullptr, MS_BIND,
              nullptr) != 0) {
    return fail("cmdline");
  }
  (void)::sethostname("board", 5);
  if (::chroot(root.c_str()) != 0 || ::chdir("/") != 0) return fail("chroot");
  return true;
}

// The installer mounts "proc", "devtmpfs" and "sysfs" without data. devtmpfs would be
// the host's own instance, so mounts without data fail here; the board root has its
// kernel file systems already.
bool refuseMountsWithoutData() {
  constexpr std::uint32_t kDataLow = offsetof(seccomp_data, args) + 4 * sizeof(std::uint64_t);
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 6),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_mount, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kDataLow),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kDataLow + 4),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0 || fail("seccomp");
}

[[noreturn]] void startBoard(char** argv) {
  // The installer reboots: only ever as PID 1 of the namespace made above.
  if (::getpid() != 1 || ::getppid() != 0) {
    std::fprintf(stderr, "board_launcher: not the first process of a new PID namespace\n");
    ::_exit(2);
  }
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      !prepareRoot(argv[1], argv[2], argv[3], std::strcmp(argv[4], "1") == 0) ||
      !refuseMountsWithoutData()) {
    ::_exit(2);
  }
  char init[] = "/init";
  char* const arguments[] = {init, nullptr};
  char board[] = "board=vm";
  char* const environment[] = {board, nullptr};
  ::execve(init, arguments, environment);
  fail("exec /init");
  ::_exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: board_launcher ROOT INSTALLER PROBE PANICS\n");
    return 2;
  }
  if (::unshare(CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWUTS) != 0) return fail("unshare"), 2;
  const pid_t board = ::fork();
  if (board < 0) return fail("fork"), 2;
  if (board == 0) startBoard(argv);
  // Ctrl-C on the console is the board's, not ours.
  (void)::signal(SIGINT, SIG_IGN);
  int status = 0;
  while (::waitpid(board, &status, 0) < 0) {
    if (errno != EINTR) return fail("wait"), 2;
  }
  // A restart from inside a PID namespace ends its first process with SIGHUP.
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) return 0;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) return 2;
  std::fprintf(stderr, "board_launcher: the board ended without a reboot (status %#x)\n", status);
  return 1;
}
