// Installing a package from a pipe, as the package child does:
// - a 64 MiB package (64 MiB of compressible files) with the copy sink and the staged
//   files on tmpfs, next to the bare cost of what no installer can avoid, measured in
//   the same iteration: SHA-1 of the stream and inflating its archive (goal: at most
//   1.3 times the bare cost);
// - the peak memory of a fresh process installing an 8 MiB and a 256 MiB package (goal:
//   the same within 256 KiB).
// It writes /flash and /ram: run it only in a private root (target run_bench_install).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "packages/install.h"
#include "streams/bytes.h"
#include "tools/pellpkg/builder.h"
#include "tools/signing/signing.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kMiB = 1024 * 1024;
const char* gSelf = nullptr;

class FixedBoard final : public vl::BoardQueries {
 public:
  vl::Version boardMinVersion() const override { return 0; }
  bool boardHasFlag1000() const override { return false; }
  bool mtd0HasLargeEraseBlocks() const override { return false; }
};

// Text-like contents: words of a small vocabulary picked by a fixed generator, so that
// zlib packs them about three to one, as configuration and scripts do.
std::string fileContents(std::uint64_t size, std::uint32_t seed) {
  static const char* const kWords[] = {
      "interface", "address", "route",  "bridge", "vlan",   "firewall", "filter",   "accept",
      "drop",      "chain",   "input",  "output", "mtu",    "comment",  "disabled", "yes",
      "no",        "ether1",  "ether2", "wlan1",  "pool",   "dhcp",     "server",   "client",
      "lease",     "dns",     "ntp",    "system", "script", "log",      "topics",   "info"};
  std::string text;
  text.reserve(size);
  std::uint32_t x = seed * 2654435761u + 1;
  while (text.size() < size) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    text += kWords[x % 32];
    text += (x >> 8) % 9 == 0 ? '\n' : ' ';
    if ((x >> 12) % 5 == 0) text += std::to_string(x % 100000);
  }
  text.resize(size);
  return text;
}

std::string packagePath(std::uint64_t size) {
  return "/tmp/bench-install-" + std::to_string(size / kMiB) + ".vpk";
}

// Builds the package in a child process, so that the measuring process never holds it.
bool makePackage(std::uint64_t size) {
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    auto keys = vl::loadSecretKeys(VL_DEV_SECRET_KEYS, error);
    if (!keys) _exit(2);
    vl::pkgbuild::PackageSource p;
    p.name = "bench";
    p.version = vl::parseVersion("6.48");  // one signature scheme: a SHA-1 digest
    p.buildTime = 1700000000;
    p.architecture = "mips";
    for (std::uint64_t done = 0, i = 0; done < size; done += kMiB, ++i) {
      p.files.push_back({"usr/share/bench/file" + std::to_string(i), 0100644,
                         fileContents(kMiB, static_cast<std::uint32_t>(i))});
    }
    auto bytes = vl::pkgbuild::buildPackage(p, vl::pkgbuild::SignatureForm::SchemeOne,
                                            vl::pkgbuild::signerFor(*keys));
    if (!bytes) _exit(3);
    std::string error2;
    _exit(vl::pkgbuild::writeFileAtomically(packagePath(size), *bytes, error2) ? 0 : 4);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::uint8_t> readWhole(const std::string& path) {
  vl::FdStream in = vl::FdStream::openRead(path);
  std::vector<std::uint8_t> bytes;
  if (!in.isOpen() || !vl::readAll(in, bytes)) bytes.clear();
  return bytes;
}

// Writes the file to fd in 4076-byte chunks, as the install server's frames arrive.
pid_t startFeeder(const int fds[2], const std::string& path) {
  const pid_t feeder = fork();
  if (feeder != 0) return feeder;
  close(fds[0]);  // so that a reader that stops early ends the feeder
  const int fd = fds[1];
  const int in = open(path.c_str(), O_RDONLY);
  std::vector<std::uint8_t> chunk(4076);
  for (;;) {
    const ssize_t n = read(in, chunk.data(), chunk.size());
    if (n <= 0) _exit(n == 0 ? 0 : 1);
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(fd, chunk.data() + done, static_cast<std::size_t>(n - done));
      if (w <= 0) _exit(1);
      done += w;
    }
  }
}

void removeTree(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) removeTree(path + "/" + name);
    (void)rmdir(path.c_str());
    return;
  }
  (void)unlink(path.c_str());
}

void freshFlash() {
  removeTree("/flash");
  removeTree("/ram");
  (void)mkdir("/flash", 0755);
  (void)mkdir("/ram", 0755);
  (void)mkdir("/flash/var", 0755);
  (void)mkdir("/flash/var/pdb", 0755);
}

// installFromStream from fd into an empty database; the journal is left staged.
vl::InstallResult installFrom(int fd, vl::ChangeJournal& journal, vl::Repository& repository) {
  repository.architecture = "mips";
  FixedBoard board;
  vl::Planner planner(repository, board, false);
  vl::FdStream source(fd, false);
  vl::FdStream copy = vl::FdStream::openWrite(vl::kImageCopyPath, O_CREAT | O_TRUNC, 0644);
  vl::InstallOutputs outputs;
  const vl::InstallResult result =
      vl::installFromStream(planner, journal, source, 1, {}, &copy, outputs);
  return copy.close() ? result : vl::InstallResult::Failed;
}

// Where the archive part's payload lies in the file.
struct Span {
  std::size_t offset = 0, length = 0;
};

Span archiveSpan(const std::vector<std::uint8_t>& file) {
  for (std::size_t at = vl::kFileHeaderSize; at + 6 <= file.size();) {
    const std::uint16_t type = vl::loadLe16(file.data() + at);
    const std::uint32_t length = vl::loadLe32(file.data() + at + 2);
    if (type == vl::kPartFiles) return {at + 6, length};
    at += 6 + length;
  }
  return {};
}

// The bare cost: the stream read from the pipe, SHA-1 over it, its archive inflated.
bool bareCost(int fd, Span archive) {
  vl::Sha1 sha1;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  std::vector<std::uint8_t> in(16384), out(16384);
  std::size_t position = 0;
  int z = Z_OK;
  for (;;) {
    const ssize_t n = read(fd, in.data(), in.size());
    if (n <= 0) break;
    const std::size_t end = position + static_cast<std::size_t>(n);
    const std::size_t hashFrom = position < vl::kFileHeaderSize ? vl::kFileHeaderSize : position;
    if (end > hashFrom) sha1.update(in.data() + (hashFrom - position), end - hashFrom);
    const std::size_t from = std::max(position, archive.offset);
    const std::size_t to = std::min(end, archive.offset + archive.length);
    if (from < to && z == Z_OK) {
      zs.next_in = in.data() + (from - position);
      zs.avail_in = static_cast<uInt>(to - from);
      while (zs.avail_in > 0 && z == Z_OK) {
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        z = inflate(&zs, Z_NO_FLUSH);
        benchmark::DoNotOptimize(out.data());
      }
    }
    position = end;
  }
  std::uint8_t digest[20];
  sha1.final(digest);
  benchmark::DoNotOptimize(digest);
  inflateEnd(&zs);
  return z == Z_STREAM_END;
}

template <typename Work>
double timeFromPipe(const std::string& path, Work work, bool& ok) {
  int fds[2];
  if (pipe(fds) != 0) {
    ok = false;
    return 0;
  }
  const pid_t feeder = startFeeder(fds, path);
  close(fds[1]);
  const auto start = Clock::now();
  ok = work(fds[0]);
  const auto end = Clock::now();
  close(fds[0]);
  waitpid(feeder, nullptr, 0);
  return std::chrono::duration<double>(end - start).count();
}

void BM_InstallFromPipe(benchmark::State& state) {
  const std::uint64_t size = 64 * kMiB;
  if (!makePackage(size)) {
    state.SkipWithError("could not build the package");
    return;
  }
  const std::string path = packagePath(size);
  const std::vector<std::uint8_t> file = readWhole(path);
  const Span archive = archiveSpan(file);
  double installSeconds = 0, bareSeconds = 0;
  std::string failure;
  for (auto _ : state) {
    freshFlash();
    vl::Repository repository;
    const int devNull = open("/dev/null", O_WRONLY);
    repository.reporter.setOutput(devNull);
    vl::ChangeJournal journal;
    bool ok = false;
    const double install = timeFromPipe(
        path,
        [&](int fd) {
          return installFrom(fd, journal, repository) == vl::InstallResult::Installed;
        },
        ok);
    journal.abort();
    close(devNull);
    if (!ok) {
      const auto& said = repository.reporter.messages();
      failure = "package not installed: " + (said.empty() ? std::string("?") : said.back());
      state.SkipWithError(failure.c_str());
      break;
    }
    const double bare = timeFromPipe(
        path, [&](int fd) { return bareCost(fd, archive); }, ok);
    if (!ok) state.SkipWithError("bare reading failed");
    installSeconds += install;
    bareSeconds += bare;
    state.SetIterationTime(install);
  }
  const double iterations = static_cast<double>(state.iterations());
  const double unpacked = static_cast<double>(size) / 1e6 * iterations;
  const double stream = static_cast<double>(file.size()) / 1e6 * iterations;
  state.counters["package_MB"] = static_cast<double>(file.size()) / 1e6;
  state.counters["install_files_MBps"] = unpacked / installSeconds;
  state.counters["install_stream_MBps"] = stream / installSeconds;
  state.counters["bare_files_MBps"] = unpacked / bareSeconds;
  state.counters["install_over_bare"] = installSeconds / bareSeconds;
  state.SetBytesProcessed(static_cast<std::int64_t>(size) * state.iterations());
}
BENCHMARK(BM_InstallFromPipe)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Peak resident memory (KiB) of a fresh process installing the package from a pipe.
long peakMemory(std::uint64_t size) {
  if (!makePackage(size)) return -1;
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t feeder = startFeeder(fds, packagePath(size));
  const pid_t installer = fork();
  if (installer == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    execl(gSelf, gSelf, "--install-from-stdin", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  close(fds[1]);
  int status = 0;
  struct rusage usage {};
  wait4(installer, &status, 0, &usage);
  waitpid(feeder, nullptr, 0);
  (void)unlink(packagePath(size).c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss;
}

void BM_PeakMemory(benchmark::State& state) {
  long small = 0, large = 0;
  for (auto _ : state) {
    freshFlash();
    small = peakMemory(8 * kMiB);
    freshFlash();
    large = peakMemory(256 * kMiB);
  }
  freshFlash();
  if (small < 0 || large < 0) state.SkipWithError("installer process failed");
  state.counters["peak_8MiB_KiB"] = static_cast<double>(small);
  state.counters["peak_256MiB_KiB"] = static_cast<double>(large);
  state.counters["difference_KiB"] = static_cast<double>(large - small);
}
BENCHMARK(BM_PeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

bool isPrivateTmpfs(const char* path) {
  struct statfs fs {};
  return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

}  // namespace

int main(int argc, char** argv) {
  gSelf = argv[0];
  if (!isPrivateTmpfs("/flash") || !isPrivateTmpfs("/ram")) {
    std::fprintf(stderr,
                 "bench_install writes /flash and /ram: run it in a private root where both "
                 "are tmpfs (cmake --build <dir> --target run_bench_install)\n");
    return 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--install-from-stdin") == 0) {
    vl::Repository repository;
    repository.reporter.setQuiet(true);
    vl::ChangeJournal journal;
    const vl::InstallResult result = installFrom(0, journal, repository);
    journal.abort();
    return result == vl::InstallResult::Installed ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
