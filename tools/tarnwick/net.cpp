#include "tools/tarnwick/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

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
  out = interface;
  return true;
}

void closeInterface(ServerInterface& interface) {
  if (interface.socket >= 0) ::close(interface.socket);
  interface.socket = -1;
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
