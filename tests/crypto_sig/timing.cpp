// A rough time per signature check on the processor it runs on, for the boards' target
// under qemu where Google Benchmark is not built. Prints figures; asserts nothing.
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "crypto/signature.h"
#include "tests/crypto_sig/known_answers.h"
#include "tests/crypto_sig/test_support.h"

namespace {

double processorMicroseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  const vl::KeySet keys = vl::testing::testKeys();
  std::vector<std::uint8_t> digest = vl::testing::fromHex(vl::testing::kKnownSignatures[0].digest);
  digest.resize(32, 0);
  const std::vector<std::uint8_t> payload =
      vl::testing::fromHex(vl::testing::kKnownSignatures[0].payload);

  int good = 0;
  double start = processorMicroseconds();
  for (int i = 0; i < rounds; ++i) good += vl::schemeOneVerify(keys, digest.data(), payload.data());
  const double schemeOne = (processorMicroseconds() - start) / rounds;
  start = processorMicroseconds();
  for (int i = 0; i < rounds; ++i) {
    good += vl::ed25519Verify(keys.k2, 32, digest.data(), 32, payload.data() + 68, 64);
  }
  const double ed25519 = (processorMicroseconds() - start) / rounds;
  std::printf("scheme-1 verify: %.0f us, Ed25519 verify: %.0f us (%d rounds, %d of %d valid)\n",
              schemeOne, ed25519, rounds, good, 2 * rounds);
  return good == 2 * rounds ? 0 : 1;
}
