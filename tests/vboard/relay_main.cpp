// The faulty wire between the virtual board's tap and tarnwick's interface: the link
// tests' relay as a program, stopped with SIGTERM, its counts on standard output.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/link/relay.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vboard_relay IF_A IF_B SEED\n");
    return 2;
  }
  vl::test::RelayFaults faults;
  faults.seed = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  return vl::test::runRelay(argv[1], argv[2], faults, 1);
}
