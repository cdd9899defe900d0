#include "tools/tarnwick/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace vl::tarnwick {
namespace {

constexpr int kReceiveBuffer = 4 << 20;

bool hardwareAddress(int socket, const std::string& name, MacAddress& mac) {
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (::ioctl(socket, SIOCGIFHWADDR, &request) != 0) return false;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    mac[i] = static_cast<std::uint8_t>(request.ifr_hwaddr.sa_data[i]);
  }
  return true;
}

void openPacketSocket(ServerInterface& interface) {
  ifreq request{};
  std::strncpy(request.ifr_name, interface.name.c_str(), IFNAMSIZ - 1);
  if (::ioctl(interface.socket, SIOCGIFINDEX, &request) != 0) return;
  interface.index = request.ifr_ifindex;
  if (::ioctl(interface.socket, SIOCGIFMTU, &request) == 0 && request.ifr_mtu >= 576) {
    interface.mtu = request.ifr_mtu;
  }
  if (::ioctl(interface.socket, SIOCGIFADDR, &request) == 0) {
    interface.sourceAddress =
        reinterpret_cast<const sockaddr_in*>(&request.ifr_addr)->sin_addr.s_addr;
  }
  interface.packetSocket = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // sends only
}

void putBe16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 8);
  bytes[1] = static_cast<std::uint8_t>(value & 0xFFu);
}

std::uint16_t headerChecksum(const std::uint8_t* header, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
  }
  while ((sum >> 16) != 0) sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFFu);
}

}  // namespace

std::vector<std::string> ethernetInterfaces() {
  std::vector<std::string> names;
  std::ifstream devices("/proc/net/dev");
  std::string line;
  const int query = ::socket(AF_INET, SOCK_DGRAM, 0);
  for (int number = 0; std::getline(devices, line); ++number) {
    if (number < 2) continue;
    const std::size_t start = line.find_first_not_of(" \t");
    const std::size_t colon = line.find(':', start);
    if (start == std::string::npos || colon == std::string::npos) continue;
    const std::string name = line.substr(start, colon - start);
    MacAddress mac{};
    if (query >= 0 && hardwareAddress(query, name, mac) && !isZeroMac(mac)) names.push_back(name);
  }
  if (query >= 0) ::close(query);
  return names;
}

bool openInterface(const std::string& name, ServerInterface& out, std::string& error) {
  ServerInterface interface;
  interface.name = name;
  auto failed = [&](const char* what) {
    error = name + ": " + what + ": " + std::strerror(errno);
    closeInterface(interface);
    return false;
  };
  if (name.empty() || name.size() >= IFNAMSIZ) {
    error = "'" + name + "' is not an interface name";
    return false;
  }
  interface.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (interface.socket < 0) return failed("socket");
  if (!hardwareAddress(interface.socket, name, interface.mac)) return failed("no such interface");
  if (isZeroMac(interface.mac)) {
    errno = EINVAL;
    return failed("no hardware address");
  }
  const int on = 1;
  if (::setsockopt(interface.socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    return failed("broadcast");
  }
  (void)::setsockopt(interface.socket, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer,
                     sizeof kReceiveBuffer);
  if (::setsockopt(interface.socket, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                   static_cast<socklen_t>(name.size() + 1)) != 0) {
    return failed("tie to the interface");
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kLinkPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(interface.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return failed("bind to UDP port 5000");
  }
  openPacketSocket(interface);
  out = interface;
  return true;
}

void closeInterface(ServerInterface& interface) {
  if (interface.socket >= 0) ::close(interface.socket);
  if (interface.packetSocket >= 0) ::close(interface.packetSocket);
  interface.socket = -1;
  interface.packetSocket = -1;
}

bool sendToBoard(ServerInterface& interface, const MacAddress& board, const std::uint8_t* frame,
                 std::size_t size) {
  if (interface.packetSocket < 0 || isZeroMac(board)) return sendBroadcast(interface, frame, size);
  constexpr std::size_t kIpHeader = 20;
  constexpr std::size_t kUdpHeader = 8;
  // The UDP datagram: header (no checksum, which IPv4 allows) and the frame.
  std::uint8_t udp[kUdpHeader];
  putBe16(udp, kLinkPort);
  putBe16(udp + 2, kLinkPort);
  putBe16(udp + 4, static_cast<std::uint16_t>(kUdpHeader + size));
  putBe16(udp + 6, 0);
  const std::size_t total = kUdpHeader + size;
  const std::uint16_t id = interface.nextId++;
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(ETH_P_IP);
  to.sll_ifindex = interface.index;
  to.sll_halen = 6;
  std::memcpy(to.sll_addr, board.data(), 6);
  // Every fragment in one sendmmsg: one system call per answer.
  constexpr std::size_t kMaxFragments = 8;
  std::uint8_t headers[kMaxFragments][kIpHeader + kUdpHeader];
  iovec parts[kMaxFragments][2];
  mmsghdr messages[kMaxFragments] = {};
  const std::size_t perFragment =
      (static_cast<std::size_t>(interface.mtu) - kIpHeader) & ~std::size_t{7};
  std::size_t count = 0;
  for (std::size_t offset = 0; offset < total; offset += perFragment, ++count) {
    if (count == kMaxFragments) return sendBroadcast(interface, frame, size);
    const std::size_t length = std::min(perFragment, total - offset);
    std::uint8_t* ip = headers[count];
    std::memset(ip, 0, kIpHeader);
    ip[0] = 0x45;
    putBe16(ip + 2, static_cast<std::uint16_t>(kIpHeader + length));
    putBe16(ip + 4, id);
    const bool more = offset + length < total;
    putBe16(ip + 6, static_cast<std::uint16_t>((more ? 0x2000u : 0u) | (offset / 8)));
    ip[8] = 64;
    ip[9] = 17;
    std::memcpy(ip + 12, &interface.sourceAddress, 4);
    std::memset(ip + 16, 0xFF, 4);
    putBe16(ip + 10, headerChecksum(ip, kIpHeader));
    // The first fragment starts with the UDP header; the fragment size is a multiple of 8,
    // so the header never spans two fragments.
    const std::size_t udpBytes = offset == 0 ? kUdpHeader : 0;
    std::memcpy(ip + kIpHeader, udp, udpBytes);
    const std::size_t frameOffset = offset == 0 ? 0 : offset - kUdpHeader;
    parts[count][0] = {ip, kIpHeader + udpBytes};
    parts[count][1] = {const_cast<std::uint8_t*>(frame + frameOffset), length - udpBytes};
    messages[count].msg_hdr.msg_name = &to;
    messages[count].msg_hdr.msg_namelen = sizeof to;
    messages[count].msg_hdr.msg_iov = parts[count];
    messages[count].msg_hdr.msg_iovlen = 2;
  }
  std::size_t sent = 0;
  while (sent < count) {
    const int n =
        ::sendmmsg(interface.packetSocket, messages + sent, static_cast<unsigned>(count - sent), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool sendBroadcast(const ServerInterface& interface, const std::uint8_t* frame, std::size_t size) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kLinkPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  for (;;) {
    const ssize_t sent = ::sendto(interface.socket, frame, size, 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent >= 0) return static_cast<std::size_t>(sent) == size;
    if (errno != EINTR) return false;
  }
}

}  // namespace vl::tarnwick
