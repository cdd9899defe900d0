#include "link/channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace vl {
namespace {

constexpr int kQueryProtocol = 250;
constexpr std::size_t kLineBuffer = 256;
constexpr short kUpFlags = IFF_UP | IFF_RUNNING | IFF_PROMISC;  // 0x141

// Reads one line into `line` (cut to the buffer) and skips whatever of it does not fit,
// so a long line still counts as one line. False at the end of the file.
bool readLine(std::FILE* file, char (&line)[kLineBuffer]) {
  if (std::fgets(line, sizeof line, file) == nullptr) return false;
  if (std::strchr(line, '\n') != nullptr) return true;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF && c != '\n') {
  }
  return true;
}

std::size_t countLines(std::FILE* file) {
  char line[kLineBuffer];
  std::size_t lines = 0;
  while (readLine(file, line)) ++lines;
  return lines;
}

// The first whitespace-delimited word, cut at its first ':'.
std::string interfaceName(const char* line) {
  const char* start = line;
  while (*start == ' ' || *start == '\t') ++start;
  const char* end = start;
  while (*end != '\0' && *end != ':' && *end != ' ' && *end != '\t' && *end != '\n') ++end;
  return std::string(start, static_cast<std::size_t>(end - start));
}

ifreq requestFor(const std::string& name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return request;
}

// Steps that make an opened socket a channel on its interface; false drops the channel.
bool setUpChannel(NetChannel& channel, const std::string& name) {
  channel.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (channel.socket < 0) return false;
  int on = 1;
  if (::setsockopt(channel.socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  (void)::fcntl(channel.socket, F_SETFL, O_NONBLOCK);
  if (::setsockopt(channel.socket, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                   static_cast<socklen_t>(name.size() + 1)) != 0) {
    return false;
  }
  ifreq flags = requestFor(name);
  if (::ioctl(channel.socket, SIOCGIFFLAGS, &flags) != 0) return false;
  flags.ifr_flags = static_cast<short>(flags.ifr_flags | kUpFlags);
  if (::ioctl(channel.socket, SIOCSIFFLAGS, &flags) != 0) return false;
  ifreq address = requestFor(name);
  if (::ioctl(channel.socket, SIOCGIFADDR, &address) != 0) {
    address = requestFor(name);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    (void)::inet_pton(AF_INET, "0.0.0.0", &any.sin_addr);
    std::memcpy(&address.ifr_addr, &any, sizeof any);
    if (::ioctl(channel.socket, SIOCSIFADDR, &address) != 0) return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kLinkPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(channel.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return false;
  }
  channel.destination.sin_family = AF_INET;
  channel.destination.sin_port = htons(kLinkPort);
  channel.destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  return true;
}

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

}  // namespace

bool isZeroMac(const MacAddress& mac) {
  for (std::uint8_t byte : mac) {
    if (byte != 0) return false;
  }
  return true;
}

std::string formatMac(const MacAddress& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

NetChannel::~NetChannel() { closeChannel(*this); }

void closeChannel(NetChannel& channel) {
  if (channel.socket > 0) (void)::close(channel.socket);
  channel.socket = -1;
}

bool enumerateChannels(ChannelList& channels) {
  channels.clear();
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen("/proc/net/dev", "r"));
  if (!file) return false;
  const std::size_t lines = countLines(file.get());
  ChannelList found;
  found.reserve(lines > 2 ? lines - 2 : 0);
  const int query = ::socket(AF_INET, SOCK_RAW, kQueryProtocol);
  if (query < 0) return false;
  std::rewind(file.get());
  char line[kLineBuffer];
  for (int header = 0; header < 2; ++header) (void)readLine(file.get(), line);
  bool ok = true;
  while (ok && readLine(file.get(), line)) {
    const std::string name = interfaceName(line);
    ifreq hardware = requestFor(name);
    if (::ioctl(query, SIOCGIFHWADDR, &hardware) != 0) {
      ok = false;
      break;
    }
    auto channel = std::make_unique<NetChannel>();
    for (std::size_t i = 0; i < channel->hardwareAddress.size(); ++i) {
      channel->hardwareAddress[i] = static_cast<std::uint8_t>(hardware.ifr_hwaddr.sa_data[i]);
    }
    if (isZeroMac(channel->hardwareAddress)) continue;
    if (setUpChannel(*channel, name)) found.push_back(std::move(channel));
  }
  (void)::close(query);
  if (!ok) return false;  // `found` closes what it opened
  channels = std::move(found);
  return true;
}

int channelSend(NetChannel& channel, const std::uint8_t* frame, std::size_t length) {
  return static_cast<int>(::sendto(channel.socket, frame, length, 0,
                                   reinterpret_cast<const sockaddr*>(&channel.destination),
                                   sizeof channel.destination));
}

int channelReceive(NetChannel& channel, std::uint8_t* buffer) {
  socklen_t size = sizeof channel.lastSource;
  const ssize_t received = ::recvfrom(channel.socket, buffer, 4096, 0,
                                      reinterpret_cast<sockaddr*>(&channel.lastSource), &size);
  if (received < 0) return -1;
  if (channel.lastSource.sin_port != channel.destination.sin_port) return -1;
  return static_cast<int>(received);
}

}  // namespace vl
