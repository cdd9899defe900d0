// Worlds for the link tests: private network namespaces, veth segments, loopback peers
// and child processes that play the other end.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/channel.h"
#include "link/frame.h"

namespace vl::test {

// Runs a shell command line; true when it exits 0.
bool run(const std::string& command);

// A UDP socket bound to ip:port (non-blocking when asked), -1 on failure. The first one
// moves the process into a network namespace of its own with loopback up, so that port
// 5000 is the test's alone.
int udpSocket(const char* ip, std::uint16_t port, bool nonBlocking);

// A channel over loopback: bound to ownIp:5000, sending to peerIp:5000.
bool loopbackChannel(NetChannel& channel, const char* ownIp, const char* peerIp);

// A child process that has not been waited for is killed and reaped when its handle
// goes, so a failed assertion leaves nothing running.
struct Child {
  pid_t pid = -1;

  Child() = default;
  Child(Child&& other) noexcept : pid(other.pid) { other.pid = -1; }
  // The child held before goes with `other`.
  Child& operator=(Child&& other) noexcept {
    std::swap(pid, other.pid);
    return *this;
  }
  ~Child();

  int wait();  // exit status, or 128 + signal
  bool running();
  void kill(int signal);
};

// Named network namespaces and veth pairs, unique per run, deleted on destruction.
class NetWorld {
 public:
  NetWorld();
  ~NetWorld();
  NetWorld(const NetWorld&) = delete;
  NetWorld& operator=(const NetWorld&) = delete;

  // Creates namespace `name` (prefixed internally) with loopback up; returns its full name.
  std::string addNamespace(const std::string& name);
  // A veth pair: `ifA` in namespace `a`, `ifB` in `b`, both up, with the given MACs.
  bool addVeth(const std::string& a, const std::string& ifA, const std::string& macA,
               const std::string& b, const std::string& ifB, const std::string& macB);
  // Runs the command in namespace `ns` ("ip -n <ns> " is put in front).
  bool ip(const std::string& ns, const std::string& command);
  // Runs `body` in a child process that has joined namespace `ns`; its exit status is
  // body's result.
  Child runIn(const std::string& ns, const std::function<int()>& body);
  // Runs the program argv[0] in namespace `ns`, its output and errors going to `log`.
  Child execIn(const std::string& ns, std::vector<std::string> argv, const std::string& log);

 private:
  std::string prefix_;
  std::vector<std::string> namespaces_;
};

// A frame with the given header fields and payload, as a peer would send it.
struct CraftedFrame {
  FrameBuffer bytes{};
  std::size_t size = 0;
  operator std::string_view() const {  // the datagram, as sent
    return {reinterpret_cast<const char*>(bytes.data()), size};
  }
};
CraftedFrame craftFrame(const MacAddress& sender, const MacAddress& receiver,
                        std::uint16_t sequence, std::uint16_t acknowledge,
                        const std::string& payload);

// Sends the datagram from `fd` to 127.0.0.1:5000, where a loopback channel of the board
// takes it: answers queued before the board asks are taken as if they came in time.
void sendToBoard(int fd, std::string_view datagram);
// Every datagram waiting on the non-blocking `fd`, as "<sequence> <first four bytes>".
std::vector<std::string> takeRequests(int fd);

// A UDP socket on port 5000 tied to `device` with broadcast allowed, as a peer of the
// test would open it; -1 on failure.
int deviceSocket(const std::string& device);

}  // namespace vl::test
