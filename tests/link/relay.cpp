#include "tests/link/relay.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"

namespace vl::test {
namespace {

int packetSocket(const std::string& device) {
  const int fd = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (fd < 0) return -1;
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(::if_nametoindex(device.c_str()));
  if (address.sll_ifindex == 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A datagram sent on a veth may carry only the partial checksum that the sending side
// leaves to the hardware; copied through a packet socket it would arrive as corrupt. A
// whole (unfragmented) UDP datagram gets "no checksum" instead, which IPv4 allows.
void dropPartialChecksum(std::uint8_t* frame, std::size_t size) {
  if (size < 14 + 20 + 8 || frame[12] != 0x08 || frame[13] != 0x00) return;
  const std::uint8_t* ip = frame + 14;
  const std::size_t headerLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
  const bool fragment = ((ip[6] & 0x3F) | ip[7]) != 0;
  if (ip[9] != 17 || fragment || size < 14 + headerLength + 8) return;
  frame[14 + headerLength + 6] = 0;
  frame[14 + headerLength + 7] = 0;
}

struct Held {
  int to;
  std::vector<std::uint8_t> frame;
};

volatile sig_atomic_t stopRelay = 0;
void onStop(int) { stopRelay = 1; }

}  // namespace

int runRelay(const std::string& a, const std::string& b, const RelayFaults& faults, int statsFd) {
  const int sockets[2] = {packetSocket(a), packetSocket(b)};
  if (sockets[0] < 0 || sockets[1] < 0) return 1;
  ::signal(SIGTERM, onStop);
  long forwarded = 0, dropped = 0, duplicated = 0, delayed = 0;
  std::mt19937 random(faults.seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::multimap<std::int64_t, Held> held;  // by release time
  std::vector<std::uint8_t> frame(65536);
  pollfd polls[2] = {{sockets[0], POLLIN, 0}, {sockets[1], POLLIN, 0}};
  while (!stopRelay) {
    const std::int64_t now = nowMicros();
    while (!held.empty() && held.begin()->first <= now) {
      const Held& next = held.begin()->second;
      (void)::send(next.to, next.frame.data(), next.frame.size(), 0);
      held.erase(held.begin());
    }
    const int timeout = held.empty() ? 100 : static_cast<int>((held.begin()->first - now) / 1000);
    if (::poll(polls, 2, timeout) < 0) continue;
    for (int side = 0; side < 2; ++side) {
      if ((polls[side].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return 2;  // wire gone
      if ((polls[side].revents & POLLIN) == 0) continue;
      sockaddr_ll from{};
      socklen_t size = sizeof from;
      const ssize_t got = ::recvfrom(sockets[side], frame.data(), frame.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &size);
      if (got <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
      const int to = sockets[1 - side];
      dropPartialChecksum(frame.data(), static_cast<std::size_t>(got));
      if (chance(random) < faults.loss) {
        ++dropped;
        continue;
      }
      ++forwarded;
      const int copies = chance(random) < faults.duplication ? 2 : 1;
      duplicated += copies - 1;
      for (int copy = 0; copy < copies; ++copy) {
        std::vector<std::uint8_t> bytes(frame.begin(), frame.begin() + got);
        if (chance(random) < faults.delay) {
          const std::int64_t release =
              nowMicros() +
              static_cast<std::int64_t>(random() % static_cast<unsigned>(faults.maxDelayMicros));
          held.emplace(release, Held{to, std::move(bytes)});
          ++delayed;
        } else {
          (void)::send(to, bytes.data(), bytes.size(), 0);
        }
      }
    }
  }
  const std::string text = std::to_string(forwarded) + " " + std::to_string(dropped) + " " +
                           std::to_string(duplicated) + " " + std::to_string(delayed) + "\n";
  (void)!::write(statsFd, text.data(), text.size());
  return 0;
}

}  // namespace vl::test
