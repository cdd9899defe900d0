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
};

// Names of the interfaces that have a hardware address, in the order of /proc/net/dev.
std::vector<std::string> ethernetInterfaces();

// Opens a UDP socket on port 5000 tied to `name`. False with `error` set on failure.
[[nodiscard]] bool openInterface(const std::string& name, ServerInterface& out, std::string& error);

void closeInterface(ServerInterface& interface);

// Broadcasts one frame to 255.255.255.255:5000 on the interface.
bool sendBroadcast(const ServerInterface& interface, const std::uint8_t* frame, std::size_t size);

}  // namespace vl::tarnwick
