// One scheme-1 and one Ed25519 verification next to libsodium's Ed25519 verification and
// two X25519 scalar multiplications, with the ratios that the goals are stated in:
// scheme 1 within 1.5x of two X25519 multiplications, Ed25519 within 2x of libsodium.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "crypto/field25519.h"
#include "crypto/signature.h"
#include "tools/signing/signing.h"

namespace {

struct Fixture {
  vl::SecretKeySet secret;
  std::uint8_t digest[32] = {};
  std::vector<std::uint8_t> payload;
  std::uint8_t sodiumPublic[32], sodiumSecret[64], sodiumSignature[64];
  std::uint8_t scalar[32], point[32];

  Fixture() {
    std::uint8_t material[vl::kKeyMaterialSize];
    for (std::size_t i = 0; i < sizeof material; ++i)
      material[i] = static_cast<std::uint8_t>(i * 91 + 7);
    secret = *vl::deriveKeys(material);
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(i * 13 + 1);
    payload = vl::signaturePayload(secret, digest, 32, vl::SignatureSchemes::Both);
    crypto_sign_seed_keypair(sodiumPublic, sodiumSecret, secret.ed25519Seed);
    crypto_sign_detached(sodiumSignature, nullptr, digest, 32, sodiumSecret);
    for (int i = 0; i < 32; ++i) scalar[i] = static_cast<std::uint8_t>(i * 29 + 3);
    std::memcpy(point, secret.keys.k1, 32);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void schemeOne(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl::schemeOneVerify(f.secret.keys, f.digest, f.payload.data()));
  }
  if (!vl::schemeOneVerify(f.secret.keys, f.digest, f.payload.data())) state.SkipWithError("bad");
}

void ed25519(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        vl::ed25519Verify(f.secret.keys.k2, 32, f.digest, 32, f.payload.data() + 68, 64));
  }
  if (!vl::ed25519Verify(f.secret.keys.k2, 32, f.digest, 32, f.payload.data() + 68, 64)) {
    state.SkipWithError("bad");
  }
}

void sodiumVerify(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        crypto_sign_verify_detached(f.sodiumSignature, f.digest, 32, f.sodiumPublic));
  }
}

void sodiumTwoScalarmults(benchmark::State& state) {
  Fixture& f = fixture();
  std::uint8_t out[32];
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_scalarmult(out, f.scalar, f.point));
    benchmark::DoNotOptimize(crypto_scalarmult(out, f.scalar, out));
  }
}

void fieldMultiply(benchmark::State& state) {
  vl::Fe a, b;
  vl::feFromBytes(a, fixture().secret.keys.k1);
  vl::feFromBytes(b, fixture().secret.keys.k2);
  for (auto _ : state) {
    vl::feMul(a, a, b);
    benchmark::DoNotOptimize(a);
  }
}

BENCHMARK(schemeOne)->Name("scheme1_verify");
BENCHMARK(ed25519)->Name("ed25519_verify");
BENCHMARK(sodiumVerify)->Name("libsodium_ed25519_verify");
BENCHMARK(sodiumTwoScalarmults)->Name("libsodium_two_x25519");
BENCHMARK(fieldMultiply)->Name("field_multiply");

// Keeps the processor time per iteration of every benchmark for the ratios (this
// machine is shared, so wall-clock time says little).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) nanoseconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* a, const char* b) {
    const double x = reporter.nanoseconds[a], y = reporter.nanoseconds[b];
    return y > 0 ? x / y : 0.0;
  };
  std::printf("scheme 1 / two X25519 (libsodium):   %.2f  (goal <= 1.5)\n",
              ratio("scheme1_verify", "libsodium_two_x25519"));
  std::printf("Ed25519 / libsodium Ed25519 verify:  %.2f  (goal <= 2.0)\n",
              ratio("ed25519_verify", "libsodium_ed25519_verify"));
  benchmark::Shutdown();
  return 0;
}
