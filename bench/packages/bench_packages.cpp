// The package reader's cost and memory:
// - a 64 MiB package read from a pipe with hashing and a copy sink, next to the bare
//   SHA-1 of the same bytes measured in the same iteration (goal: at most 15% more);
// - the peak memory of a fresh process reading an 8 MiB and a 256 MiB package from a
//   pipe (goal: the same within 64 KiB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "packages/package_file.h"
#include "packages/part_reader.h"
#include "streams/bytes.h"
#include "streams/stream.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1024 * 1024;
const char* gSelf = nullptr;

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  std::uint8_t b[2];
  vl::storeLe16(b, v);
  out.insert(out.end(), b, b + 2);
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  vl::storeLe32(b, v);
  out.insert(out.end(), b, b + 4);
}

// The bytes before the image payload, and after it, of a package whose image part holds
// imageSize bytes: file header, package header, image part header ... signature part.
struct PackageFrame {
  std::vector<std::uint8_t> head;
  std::vector<std::uint8_t> tail;
};

PackageFrame frame(std::uint64_t imageSize) {
  PackageFrame f;
  std::vector<std::uint8_t> record(32, 0);
  std::memcpy(record.data(), "bench", 5);
  vl::storeLe32(record.data() + 16, 0x07010000);
  put16(f.head, vl::kPartPackageHeader);
  put32(f.head, 32);
  f.head.insert(f.head.end(), record.begin(), record.end());
  put16(f.head, vl::kPartImage);
  put32(f.head, static_cast<std::uint32_t>(imageSize));
  put16(f.tail, vl::kPartSignature);
  put32(f.tail, 68);
  f.tail.resize(f.tail.size() + 68, 0);
  std::vector<std::uint8_t> header;
  put32(header, vl::kMagicTracked);
  put32(header, static_cast<std::uint32_t>(f.head.size() + imageSize + f.tail.size()));
  f.head.insert(f.head.begin(), header.begin(), header.end());
  return f;
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::uint8_t pattern(std::uint64_t i) { return static_cast<std::uint8_t>((i * 2654435761u) >> 13); }

// Writes the package to fd in 4076-byte chunks, as the install server's frames arrive;
// the image bytes come from image when given, else are made as they go.
void writePackage(int fd, std::uint64_t imageSize, const std::uint8_t* image = nullptr) {
  const PackageFrame f = frame(imageSize);
  auto all = [fd](const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      const ssize_t w = write(fd, p, n);
      if (w <= 0) _exit(1);
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  };
  all(f.head.data(), f.head.size());
  std::vector<std::uint8_t> chunk(4076);
  for (std::uint64_t done = 0; done < imageSize;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), imageSize - done));
    if (image != nullptr) {
      all(image + done, n);
    } else {
      for (std::size_t i = 0; i < n; ++i) chunk[i] = pattern(done + i);
      all(chunk.data(), n);
    }
    done += n;
  }
  all(f.tail.data(), f.tail.size());
}

// What the installer does with the stream: header, image read through in 4096-byte
// steps, signature check, all hashed and copied.
bool readPackage(int fd, vl::StreamBuffer& sink) {
  vl::FdStream source(fd, false);
  vl::PartReader reader(source, true, &sink);
  reader.want({1, 18, 20, 16, 3, 19, 17, 21, 4, 9});
  reader.next();
  vl::PackageInfo info;
  if (!vl::readPackageHeader(info, reader) || reader.type() != vl::kPartImage) return false;
  std::uint8_t step[4096];
  while (reader.read(step, sizeof step) > 0) {
  }
  if (reader.next() != vl::kPartSignature) return false;
  (void)reader.verifySignature();
  return reader.next() == -1 && reader.position() == reader.total();
}

void BM_ReaderFromPipe(benchmark::State& state) {
  const std::uint64_t imageSize = 64 * kMiB;
  // The same bytes in memory for the bare SHA-1 beside it.
  const PackageFrame f = frame(imageSize);
  std::vector<std::uint8_t> image(imageSize);
  for (std::uint64_t i = 0; i < imageSize; ++i) image[i] = pattern(i);
  double readerSeconds = 0, readerCpuSeconds = 0, sha1Seconds = 0;
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) state.SkipWithError("pipe");
    const pid_t writer = fork();
    if (writer == 0) {
      close(fds[0]);
      writePackage(fds[1], imageSize, image.data());
      _exit(0);
    }
    close(fds[1]);
    vl::FdStream devNull = vl::FdStream::openWrite("/dev/null", 0, 0);
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    const bool ok = readPackage(fds[0], devNull);
    const auto read = Clock::now();
    readerCpuSeconds += processCpuSeconds() - cpuStart;
    close(fds[0]);
    waitpid(writer, nullptr, 0);
    if (!ok) state.SkipWithError("package not read whole");

    const auto hashStart = Clock::now();
    vl::Sha1 sha1;
    sha1.update(f.head.data() + 8, f.head.size() - 8);
    sha1.update(image.data(), image.size());
    sha1.update(f.tail.data(), 6);
    std::uint8_t digest[20];
    sha1.final(digest);
    benchmark::DoNotOptimize(digest);
    const auto hashEnd = Clock::now();

    const double r = std::chrono::duration<double>(read - start).count();
    readerSeconds += r;
    sha1Seconds += std::chrono::duration<double>(hashEnd - hashStart).count();
    state.SetIterationTime(r);
  }
  const double mb = static_cast<double>(imageSize) / 1e6 * static_cast<double>(state.iterations());
  state.counters["reader_MBps"] = mb / readerSeconds;
  state.counters["bare_sha1_MBps"] = mb / sha1Seconds;
  state.counters["reader_over_sha1_pct"] = (readerSeconds / sha1Seconds - 1.0) * 100.0;
  // The reader's own work (user and system time, the pipe and sink calls included),
  // without the time it waits for the writer process on a busy machine.
  state.counters["reader_cpu_MBps"] = mb / readerCpuSeconds;
  state.counters["reader_cpu_over_sha1_pct"] = (readerCpuSeconds / sha1Seconds - 1.0) * 100.0;
  state.SetBytesProcessed(static_cast<std::int64_t>(imageSize) * state.iterations());
}
BENCHMARK(BM_ReaderFromPipe)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Peak resident memory (KiB) of a fresh process that reads a package of imageSize bytes
// from a pipe.
long peakMemory(std::uint64_t imageSize) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t writer = fork();
  if (writer == 0) {
    close(fds[0]);
    writePackage(fds[1], imageSize);
    _exit(0);
  }
  const pid_t reader = fork();
  if (reader == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    execl(gSelf, gSelf, "--read-package-from-stdin", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  close(fds[1]);
  int status = 0;
  struct rusage usage {};
  wait4(reader, &status, 0, &usage);
  waitpid(writer, nullptr, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss;
}

void BM_PeakMemory(benchmark::State& state) {
  // Start-up of a fresh process varies by tens of KiB (loader, address layout): each
  // size is measured in several processes and the least peak taken.
  constexpr int kRuns = 7;
  long small = -1, large = -1, smallMax = 0, largeMax = 0;
  bool failed = false;
  for (auto _ : state) {
    for (int i = 0; i < kRuns; ++i) {
      const long s = peakMemory(8 * kMiB);
      const long l = peakMemory(256 * kMiB);
      failed = failed || s < 0 || l < 0;
      small = small < 0 ? s : std::min(small, s);
      large = large < 0 ? l : std::min(large, l);
      smallMax = std::max(smallMax, s);
      largeMax = std::max(largeMax, l);
    }
  }
  if (failed) state.SkipWithError("reader process failed");
  state.counters["peak_8MiB_KiB"] = static_cast<double>(small);
  state.counters["peak_256MiB_KiB"] = static_cast<double>(large);
  state.counters["difference_KiB"] = static_cast<double>(large - small);
  state.counters["spread_8MiB_KiB"] = static_cast<double>(smallMax - small);
  state.counters["spread_256MiB_KiB"] = static_cast<double>(largeMax - large);
}
BENCHMARK(BM_PeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  gSelf = argv[0];
  if (argc == 2 && std::string(argv[1]) == "--read-package-from-stdin") {
    vl::FdStream devNull = vl::FdStream::openWrite("/dev/null", 0, 0);
    return readPackage(0, devNull) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
