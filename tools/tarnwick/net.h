// The server's sockets: one per Ethernet interface, tied to it like the board's are.
#pragma once

#include <string>
#include <vector>

#include "link/channel.h"

namespace vl::tarnwick {

struct ServerInterface {
  std::string name;
  MacAddress mac{};
  int socket = -1;
  // For answers to one board: the same UDP datagram (to 255.255.255.255:5000), carried
  // in Ethernet frames addressed to that board alone, so other boards on the segment and
  // the server itself need not take it in. -1 when unavailable: then answers are
  // broadcast.
  int packetSocket = -1;
  int index = 0;
  int mtu = 1500;
  std::uint32_t sourceAddress = 0;  // network byte order; 0.0.0.0 without an address
  std::uint16_t nextId = 1;
};

// Names of the interfaces that have a hardware address, in the order of /proc/net/dev.
std::vector<std::string> ethernetInterfaces();

// Opens a UDP socket on port 5000 tied to `name`. False with `error` set on failure.
[[nodiscard]] bool openInterface(const std::string& name, ServerInterface& out, std::string& error);

void closeInterface(ServerInterface& interface);

// Broadcasts one frame to 255.255.255.255:5000 on the interface.
bool sendBroadcast(const ServerInterface& interface, const std::uint8_t* frame, std::size_t size);

// Sends one frame as the same datagram, but in Ethernet frames to `board` only
// (fragmented as the IP layer would); broadcasts when that is not possible.
bool sendToBoard(ServerInterface& interface, const MacAddress& board, const std::uint8_t* frame,
                 std::size_t size);

}  // namespace vl::tarnwick
