// One UDP broadcast channel per usable network interface of the board.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vl {

using MacAddress = std::array<std::uint8_t, 6>;

inline constexpr std::uint16_t kLinkPort = 5000;

bool isZeroMac(const MacAddress& mac);
// "%02X:%02X:%02X:%02X:%02X:%02X"
std::string formatMac(const MacAddress& mac);

// A usable interface: its hardware address, its socket (tied to the interface, bound to
// port 5000, non-blocking), where every send goes and where the last datagram came from.
// Ports and addresses are in network byte order. The channel closes its socket when it
// is destroyed.
struct NetChannel {
  MacAddress hardwareAddress{};
  int socket = -1;
  sockaddr_in destination{};
  sockaddr_in lastSource{};

  NetChannel() = default;
  NetChannel(const NetChannel&) = delete;
  NetChannel& operator=(const NetChannel&) = delete;
  ~NetChannel();
};

// The list owns its channels; channels keep their addresses while the list lives.
using ChannelList = std::vector<std::unique_ptr<NetChannel>>;

// Builds the list from "/proc/net/dev" in file order. On failure (the file or the query
// socket can't be opened, or a hardware address can't be read) the list is left empty,
// with everything opened so far closed, and the result is false.
[[nodiscard]] bool enumerateChannels(ChannelList& channels);

// Closes the socket when its descriptor is positive.
void closeChannel(NetChannel& channel);

// One sendto of `length` bytes to the destination; what sendto returns.
int channelSend(NetChannel& channel, const std::uint8_t* frame, std::size_t length);

// One recvfrom into a 4096-byte buffer; -1 when it fails or the sender's port is not
// 5000, else the datagram's length (which may be 0).
int channelReceive(NetChannel& channel, std::uint8_t* buffer);

}  // namespace vl
