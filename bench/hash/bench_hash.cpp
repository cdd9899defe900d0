// Throughput of SHA-1, SHA-256 and SHA-512 next to the portable C of libsodium
// (SHA-256, SHA-512) and OpenSSL (SHA-1, with its processor-specific paths switched off),
// ending with a table of the ratios. --native-openssl leaves OpenSSL's fast paths on,
// which shows that switching them off took effect.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>
#include <sodium.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crypto/hash.h"

namespace {

std::vector<std::uint8_t> input(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return data;
}

template <typename Hash>
void ours(benchmark::State& state) {
  const auto data = input(static_cast<std::size_t>(state.range(0)));
  std::uint8_t out[64];
  Hash hash;
  for (auto _ : state) {
    hash.update(data.data(), data.size());
    hash.final(out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sodiumSha256(benchmark::State& state) {
  const auto data = input(static_cast<std::size_t>(state.range(0)));
  std::uint8_t out[crypto_hash_sha256_BYTES];
  for (auto _ : state) {
    crypto_hash_sha256(out, data.data(), data.size());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sodiumSha512(benchmark::State& state) {
  const auto data = input(static_cast<std::size_t>(state.range(0)));
  std::uint8_t out[crypto_hash_sha512_BYTES];
  for (auto _ : state) {
    crypto_hash_sha512(out, data.data(), data.size());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void opensslSha1(benchmark::State& state) {
  const auto data = input(static_cast<std::size_t>(state.range(0)));
  std::uint8_t out[SHA_DIGEST_LENGTH];
  for (auto _ : state) {
    SHA1(data.data(), data.size(), out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr std::int64_t kSizes[] = {64, 1024, 16384};

void registerAll() {
  struct Entry {
    const char* name;
    void (*run)(benchmark::State&);
  };
  const Entry entries[] = {
      {"ours/SHA-1", ours<vl::Sha1>},     {"openssl/SHA-1", opensslSha1},
      {"ours/SHA-256", ours<vl::Sha256>}, {"libsodium/SHA-256", sodiumSha256},
      {"ours/SHA-512", ours<vl::Sha512>}, {"libsodium/SHA-512", sodiumSha512},
  };
  for (const Entry& entry : entries) {
    auto* bench = benchmark::RegisterBenchmark(entry.name, entry.run);
    for (std::int64_t size : kSizes) bench->Arg(size);
  }
}

// Keeps the best throughput of every benchmark over its repetitions: load from other
// programs only ever slows a run down. The console shows the medians.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  explicit RecordingReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration) record(run);
      if (run.repetitions <= 1 || run.aggregate_name == "median") shown.push_back(run);
    }
    ConsoleReporter::ReportRuns(shown);
  }
  std::map<std::string, double> megabytesPerSecond;

 private:
  void record(const Run& run) {
    const auto rate = run.counters.find("bytes_per_second");
    if (rate == run.counters.end()) return;
    double& best = megabytesPerSecond[run.run_name.str()];
    if (rate->second / 1e6 > best) best = rate->second / 1e6;
  }
};

std::string runName(const char* name, std::int64_t size) {
  char text[64];
  std::snprintf(text, sizeof text, "%s/%lld", name, static_cast<long long>(size));
  return text;
}

void printRatios(const std::map<std::string, double>& rates, bool nativeOpenssl) {
  const struct {
    const char* ours;
    const char* theirs;
  } pairs[] = {{"ours/SHA-1", "openssl/SHA-1"},
               {"ours/SHA-256", "libsodium/SHA-256"},
               {"ours/SHA-512", "libsodium/SHA-512"}};
  const char* caps = std::getenv("OPENSSL_ia32cap");
  std::printf("\nOpenSSL %s\n", nativeOpenssl ? "with its processor-specific code (native)"
                                              : "limited to its portable code");
  if (caps != nullptr) std::printf("OPENSSL_ia32cap=%s\n", caps);
  std::printf("Best of the repetitions, MB/s = 10^6 bytes per second of CPU time\n");
  std::printf("%-14s %8s %12s %12s %12s %s\n", "hash", "bytes", "ours MB/s", "theirs MB/s",
              "ours/theirs", "");
  for (const auto& pair : pairs) {
    for (std::int64_t size : kSizes) {
      const auto ours = rates.find(runName(pair.ours, size));
      const auto theirs = rates.find(runName(pair.theirs, size));
      if (ours == rates.end() || theirs == rates.end()) continue;
      const double ratio = ours->second / theirs->second;
      std::printf("%-14s %8lld %12.1f %12.1f %12.3f %s\n", pair.ours + 5,
                  static_cast<long long>(size), ours->second, theirs->second, ratio,
                  ratio * 1.25 >= 1.0 ? "within 1.25x" : "SLOWER than 1.25x");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool nativeOpenssl = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--native-openssl") == 0) {
      nativeOpenssl = true;
      continue;
    }
    args.push_back(argv[i]);
  }
  // OpenSSL reads its processor capabilities once, when the library is loaded, before
  // main: to switch off every extension (SSSE3, AVX, SHA instructions) the program runs
  // itself again with the setting in its environment.
  if (!nativeOpenssl && std::getenv("OPENSSL_ia32cap") == nullptr) {
    setenv("OPENSSL_ia32cap", "0x0:0x0", 1);
    execv("/proc/self/exe", argv);
    std::perror("execv /proc/self/exe");
    return 1;
  }
  if (sodium_init() < 0) return 1;

  // This machine is shared: repeat and compare the best runs unless told otherwise.
  std::string repetitions = "--benchmark_repetitions=7";
  args.insert(args.begin() + 1, repetitions.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  registerAll();
  RecordingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                   : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter.megabytesPerSecond, nativeOpenssl);
  benchmark::Shutdown();
  return 0;
}
