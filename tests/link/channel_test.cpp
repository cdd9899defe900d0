// Interface channels, built from the namespace's own interfaces.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstring>
#include <fstream>

#include "link/channel.h"
#include "tests/link/test_support.h"

namespace vl {
namespace {

// Each case runs in a child with a network namespace of its own.
int inPrivateNetwork(const std::function<int()>& body) {
  test::Child child = test::spawn([&]() {
    if (!test::enterPrivateNetwork()) return 90;
    return body();
  });
  return child.wait();
}

short interfaceFlags(const char* name) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  ::ioctl(fd, SIOCGIFFLAGS, &request);
  ::close(fd);
  return request.ifr_flags;
}

std::string interfaceAddress(const char* name) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  const bool ok = ::ioctl(fd, SIOCGIFADDR, &request) == 0;
  ::close(fd);
  if (!ok) return "none";
  char text[INET_ADDRSTRLEN];
  const auto* address = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
  return ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
}

// Whether port 5000 can still be bound on `device`: it can't where a channel is tied to
// that device, and it can on any other device only when every channel is tied to one.
bool portFreeOn(const char* device) {
  const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  ::setsockopt(probe, SOL_SOCKET, SO_BINDTODEVICE, device,
               static_cast<socklen_t>(std::strlen(device) + 1));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(5000);
  const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  ::close(probe);
  return free;
}

TEST(EnumerateChannels, OnlyLoopbackGivesAnEmptyList) {
  EXPECT_EQ(inPrivateNetwork([]() {
              ChannelList channels;
              if (!enumerateChannels(channels)) return 1;
              return channels.empty() ? 0 : 2;
            }),
            0);
}

// Two Ethernet interfaces, down and without addresses except one: both become channels in
// the order of /proc/net/dev, up and promiscuous, each tied to its device on port 5000 and
// sending to 255.255.255.255:5000; the one without an address now has 0.0.0.0, the other
// keeps its own.
TEST(EnumerateChannels, EveryEthernetInterfaceInFileOrder) {
  EXPECT_EQ(inPrivateNetwork([]() {
              if (!test::run("ip link add name xa type veth peer name xb") ||
                  !test::run("ip link set xa address 02:00:00:00:00:aa") ||
                  !test::run("ip link set xb address 02:00:00:00:00:bb") ||
                  !test::run("ip addr add 10.99.0.1/24 dev xb")) {
                return 80;
              }
              std::vector<std::string> order;
              std::ifstream devices("/proc/net/dev");
              std::string line;
              for (int n = 0; std::getline(devices, line); ++n) {
                const std::string name = line.substr(0, line.find(':'));
                const std::string bare = name.substr(name.find_first_not_of(' '));
                if (n >= 2 && bare != "lo") order.push_back(bare);
              }
              ChannelList channels;
              if (!enumerateChannels(channels) || channels.size() != 2 || order.size() != 2)
                return 1;
              for (std::size_t i = 0; i < 2; ++i) {
                const NetChannel& channel = *channels[i];
                const char* name = order[i].c_str();
                const MacAddress expected =
                    test::parseMac(order[i] == "xa" ? "02:00:00:00:00:aa" : "02:00:00:00:00:bb");
                if (channel.hardwareAddress != expected) return 2;
                if (portFreeOn(name)) return 3;
                const short flags = interfaceFlags(name);
                if ((flags & IFF_UP) == 0 || (flags & IFF_PROMISC) == 0) return 4;
                sockaddr_in local{};
                socklen_t size = sizeof local;
                ::getsockname(channel.socket, reinterpret_cast<sockaddr*>(&local), &size);
                if (local.sin_port != htons(5000) || local.sin_addr.s_addr != 0) return 5;
                if (channel.destination.sin_port != htons(5000) ||
                    channel.destination.sin_addr.s_addr != 0xFFFFFFFFu) {
                  return 6;
                }
              }
              // Linux takes 0.0.0.0 as "no address" and keeps none.
              const std::string none = interfaceAddress("xa");
              if (none != "0.0.0.0" && none != "none") return 7;
              if (interfaceAddress("xb") != "10.99.0.1") return 8;
              if (!portFreeOn("lo")) return 9;
              return 0;
            }),
            0);
}

// The kernel's file is replaced, in a private mount namespace, by one that names an
// interface that does not exist, after a real one: nothing is usable then, and the real
// interface's socket has been closed again.
TEST(EnumerateChannels, UnreadableHardwareAddressFailsTheWholeList) {
  EXPECT_EQ(inPrivateNetwork([]() {
              if (!test::run("ip link add name xa type veth peer name xb")) return 80;
              if (::unshare(CLONE_NEWNS) != 0) return 81;
              if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 82;
              // Files under /proc/<pid> can't be bound over, so a tmpfs takes /proc's place.
              if (::mount("none", "/proc", "tmpfs", 0, nullptr) != 0) return 83;
              ::mkdir("/proc/net", 0755);
              std::ofstream("/proc/net/dev")
                  << "Inter-|   Receive\n face |bytes\n    xa:" << std::string(300, '0')
                  << "\n  ghost0: 0 0 0\n";
              ChannelList channels;
              channels.push_back(std::make_unique<NetChannel>());
              const bool ok = enumerateChannels(channels);
              if (ok || !channels.empty()) return 1;
              return portFreeOn("xa") ? 0 : 2;  // xa's channel was closed again
            }),
            0);
}

struct ReceiveCase {
  const char* name;
  std::uint16_t fromPort;
  std::size_t size;
  int expected;
};

TEST(ChannelReceive, RefusesForeignPortsAndPassesEmptyDatagrams) {
  const ReceiveCase cases[] = {
      {"from port 5000", 5000, 24, 24},
      {"empty from port 5000", 5000, 0, 0},
      {"from port 5001", 5001, 24, -1},
      {"cut to the frame buffer", 5000, 5000, 4096},
  };
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(inPrivateNetwork([&]() {
                NetChannel channel;
                if (!test::loopbackChannel(channel, "127.0.0.1", "127.0.0.2")) return 80;
                const int peer = test::udpSocket("127.0.0.2", c.fromPort, false);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(5000);
                to.sin_addr.s_addr = htonl(0x7F000001);
                const std::string datagram(c.size, 'd');
                ::sendto(peer, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to);
                ::usleep(20000);
                std::vector<std::uint8_t> buffer(4096 + 64, 0xEE);
                const int got = channelReceive(channel, buffer.data());
                if (got != c.expected) return 1;
                if (buffer[4096] != 0xEE) return 2;  // never past the frame buffer
                if (channel.lastSource.sin_port != htons(c.fromPort)) return 3;
                return channelReceive(channel, buffer.data()) == -1 ? 0 : 4;  // nothing queued
              }),
              0);
  }
}

}  // namespace
}  // namespace vl
