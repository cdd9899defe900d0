// Peak memory (VmHWM) of the installer parent and of its package child while a board in
// the sandbox installs one 64 MiB package from tarnwick across a veth pair, sampled from
// /proc every few milliseconds. The package streams through a pipe and is never held
// whole, so both should stay near the size of the program itself.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/pellpkg/builder.h"
#include "tools/signing/signing.h"

namespace {

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

pid_t spawn(const std::vector<std::string>& argv, const std::string& out) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int in = ::open("/dev/null", O_RDONLY);
  ::dup2(in, 0);
  ::dup2(fd, 1);
  ::dup2(fd, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

long statusField(pid_t pid, const char* field) {
  const std::string text = readText("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = text.find(field);
  return at == std::string::npos ? -1 : std::atol(text.c_str() + at + std::strlen(field));
}

// Process id -> parent id of every process.
std::map<pid_t, pid_t> parents() {
  std::map<pid_t, pid_t> result;
  DIR* dir = ::opendir("/proc");
  while (const dirent* e = dir ? ::readdir(dir) : nullptr) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid > 0) result[pid] = static_cast<pid_t>(statusField(pid, "PPid:"));
  }
  if (dir) ::closedir(dir);
  return result;
}

// Depth below pid, or -1 when not a descendant.
int depthBelow(const std::map<pid_t, pid_t>& tree, pid_t pid, pid_t ancestor) {
  for (int depth = 0; depth < 8; ++depth) {
    const auto it = tree.find(pid);
    if (it == tree.end()) return -1;
    if (it->second == ancestor) return depth + 1;
    pid = it->second;
  }
  return -1;
}

}  // namespace

int main() {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "bench_installer needs root (network and PID namespaces)\n");
    return 1;
  }
  char pattern[] = "/tmp/vl-bench-installer-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::string root = dir + "/board";
  for (const char* d : {"", "/formatted", "/formatted-boot", "/stand-in"}) {
    ::mkdir((root + d).c_str(), 0755);
  }
  { std::ofstream(root + "/cmdline") << "console=ttyS0\n"; }

  constexpr std::size_t kImageSize = 64u << 20;
  std::string error;
  const auto keys = vl::loadSecretKeys(VL_DEV_SECRET_KEYS, error);
  if (!keys) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  vl::pkgbuild::PackageSource source;
  source.name = "big";
  source.version = vl::makeVersion(6, 49, 'f', 10);
  source.buildTime = 1700000000;
  source.architecture = "mips";
  source.image = vl::pkgbuild::Bytes();
  source.image->reserve(kImageSize);
  for (std::uint32_t x = 1; source.image->size() < kImageSize;) {
    x = x * 1103515245 + 12345;
    source.image->push_back(static_cast<std::uint8_t>(x >> 24));
  }
  source.files.push_back({"etc/big", 0100644, "big", false});
  const auto bytes = vl::pkgbuild::buildPackage(source, vl::pkgbuild::SignatureForm::Both,
                                                vl::pkgbuild::signerFor(*keys));
  source.image.reset();
  if (!bytes) return std::fprintf(stderr, "package not built\n"), 1;
  const std::string package = dir + "/big.vpk";
  std::ofstream(package, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes->data()),
             static_cast<std::streamsize>(bytes->size()));

  const std::string prefix = "vlbi" + std::to_string(::getpid());
  const std::string srv = prefix + "s", board = prefix + "b";
  bool ok =
      run("ip netns add " + srv) && run("ip netns add " + board) &&
      run("ip link add name " + prefix + "x type veth peer name " + prefix + "y") &&
      run("ip link set " + prefix + "x netns " + srv + " name srv0 address 02:00:00:00:01:0a") &&
      run("ip link set " + prefix + "y netns " + board + " name eth0 address 02:00:00:00:01:0b") &&
      run("ip -n " + srv + " link set srv0 up") && run("ip -n " + board + " link set eth0 up") &&
      run("ip -n " + board + " link set lo up");
  pid_t server = -1, launcher = -1;
  std::map<int, long> peak;  // depth below the launcher -> VmHWM in kB
  double seconds = 0;
  if (ok) {
    server = spawn({"ip", "netns", "exec", srv, TARNWICK_PATH, "-i", "srv0", package},
                   dir + "/server.log");
    for (int i = 0; i < 500 && readText(dir + "/server.log").find("serving") == std::string::npos;
         ++i) {
      ::usleep(10000);
    }
    const auto start = std::chrono::steady_clock::now();
    launcher = spawn(
        {"ip", "netns", "exec", board, BOARD_LAUNCHER, root, INSTALLER_SANDBOX, BOARD_PROBE, "1"},
        dir + "/console.log");
    // ip exec's the launcher, so its pid is the launcher's: the namespace's init is
    // depth 1, the installer parent depth 2, its package child depth 3.
    for (int status = 0; ::waitpid(launcher, &status, WNOHANG) == 0;) {
      const auto tree = parents();
      for (const auto& [pid, parent] : tree) {
        const int depth = depthBelow(tree, pid, launcher);
        if (depth < 1) continue;
        const long hwm = statusField(pid, "VmHWM:");
        if (hwm > peak[depth]) peak[depth] = hwm;
      }
      ::usleep(2000);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const std::string console = readText(dir + "/console.log");
  // The console is a file here: a child that repeated the parent's buffered lines would
  // show the banner twice.
  const bool installed = console.find("installed big-6.49.10") != std::string::npos &&
                         console.find("Software installed.") != std::string::npos &&
                         console.find("Welcome") == console.rfind("Welcome");
  std::printf("package: %zu bytes (64 MiB image), installed: %s, %.2f s (%.1f MiB/s)\n",
              bytes->size(), installed ? "yes" : "NO", seconds,
              static_cast<double>(bytes->size()) / (1 << 20) / seconds);
  std::printf("VmHWM  waiting init %ld kB, installer parent %ld kB, package child %ld kB\n",
              peak[1], peak[2], peak[3]);
  std::printf("goal   parent and child each under 2048 kB (no kept configuration here)\n");
  if (server > 0) ::kill(server, SIGTERM), ::waitpid(server, nullptr, 0);
  (void)run("ip netns del " + srv + " 2>/dev/null; ip netns del " + board + " 2>/dev/null");
  (void)run("rm -rf " + dir);
  return installed ? 0 : 1;
}
