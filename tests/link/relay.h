// A faulty wire of our own (there is no netem here): a relay between two interfaces
// that drops, duplicates, delays and reorders Ethernet frames, seeded so that a run
// can be repeated. IP fragments are frames of their own, so they are lost one by one.
#pragma once

#include <cstdint>
#include <string>

namespace vl::test {

struct RelayFaults {
  double loss = 0.10;
  double duplication = 0.05;
  double delay = 0.20;  // share of frames held back, so later ones overtake them
  int maxDelayMicros = 4000;
  std::uint32_t seed = 1;
};

// Forwards between interfaces `a` and `b` of the calling process's namespace until
// SIGTERM; then writes what it did to `statsFd` as "forwarded dropped duplicated
// delayed" and returns 0. Returns non-zero on a setup failure
// or when a wire goes away.
int runRelay(const std::string& a, const std::string& b, const RelayFaults& faults, int statsFd);

}  // namespace vl::test
