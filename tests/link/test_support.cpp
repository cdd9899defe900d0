#include "tests/link/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vl::test {

bool enterPrivateNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return ok;
}

bool run(const std::string& command) {
  const std::string quiet = command + " >/dev/null 2>&1";
  return std::system(quiet.c_str()) == 0;
}

int udpSocket(const char* ip, std::uint16_t port, bool nonBlocking) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  if (nonBlocking) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

bool loopbackChannel(NetChannel& channel, const char* ownIp, const char* peerIp) {
  channel.socket = udpSocket(ownIp, kLinkPort, true);
  channel.destination.sin_family = AF_INET;
  channel.destination.sin_port = htons(kLinkPort);
  ::inet_pton(AF_INET, peerIp, &channel.destination.sin_addr);
  return channel.socket >= 0;
}

int Child::wait() {
  if (pid <= 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  pid = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (pid > 0) {
      kill(SIGKILL);
      (void)wait();
    }
    pid = other.pid;
    other.pid = -1;
  }
  return *this;
}

Child::~Child() {
  if (pid > 0) {
    kill(SIGKILL);
    (void)wait();
  }
}

// True while the child runs; once it has ended, wait() returns its status.
bool Child::running() {
  if (pid <= 0) return false;
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

void Child::kill(int signal) {
  if (pid > 0) ::kill(pid, signal);
}

Child spawn(const std::function<int()>& body) {
  std::fflush(nullptr);
  Child child;
  child.pid = ::fork();
  if (child.pid == 0) {
    const int result = body();
    std::fflush(nullptr);
    ::_exit(result);
  }
  return child;
}

namespace {
std::atomic<int> worldCounter{0};
}

NetWorld::NetWorld()
    : prefix_("vlt" + std::to_string(::getpid()) + "w" + std::to_string(worldCounter++) + "-") {}

NetWorld::~NetWorld() {
  for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it) {
    (void)run("ip netns delete " + *it);
  }
}

std::string NetWorld::addNamespace(const std::string& name) {
  const std::string full = prefix_ + name;
  if (!run("ip netns add " + full)) return "";
  namespaces_.push_back(full);
  (void)run("ip -n " + full + " link set lo up");
  return full;
}

bool NetWorld::addVeth(const std::string& a, const std::string& ifA, const std::string& macA,
                       const std::string& b, const std::string& ifB, const std::string& macB) {
  // Created under temporary names in the root namespace, then moved and renamed, so
  // that parallel runs never meet on a name.
  static std::atomic<int> counter{0};
  const std::string tmp =
      "vt" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
  const std::string tmpA = tmp + "a";
  const std::string tmpB = tmp + "b";
  if (!run("ip link add name " + tmpA + " type veth peer name " + tmpB)) return false;
  const bool ok =
      run("ip link set " + tmpA + " netns " + prefix_ + a) &&
      run("ip link set " + tmpB + " netns " + prefix_ + b) &&
      run("ip -n " + prefix_ + a + " link set " + tmpA + " name " + ifA) &&
      run("ip -n " + prefix_ + b + " link set " + tmpB + " name " + ifB) &&
      (macA.empty() || run("ip -n " + prefix_ + a + " link set " + ifA + " address " + macA)) &&
      (macB.empty() || run("ip -n " + prefix_ + b + " link set " + ifB + " address " + macB)) &&
      run("ip -n " + prefix_ + a + " link set " + ifA + " up") &&
      run("ip -n " + prefix_ + b + " link set " + ifB + " up");
  if (!ok) (void)run("ip link delete " + tmpA);
  return ok;
}

bool NetWorld::addBridge(const std::string& ns, const std::string& bridge) {
  return run("ip -n " + prefix_ + ns + " link add name " + bridge + " type bridge") &&
         run("ip -n " + prefix_ + ns + " link set " + bridge + " up");
}

bool NetWorld::attach(const std::string& ns, const std::string& ifName, const std::string& bridge) {
  return run("ip -n " + prefix_ + ns + " link set " + ifName + " master " + bridge);
}

bool joinNamespace(const std::string& fullName) {
  const std::string path = "/run/netns/" + fullName;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
  ::close(fd);
  return ok;
}

Child NetWorld::runIn(const std::string& ns, const std::function<int()>& body) {
  const std::string full = prefix_ + ns;
  return spawn([&]() {
    if (!joinNamespace(full)) return 99;
    return body();
  });
}

CraftedFrame craftFrame(const MacAddress& sender, const MacAddress& receiver,
                        std::uint16_t sequence, std::uint16_t acknowledge,
                        const std::string& payload) {
  CraftedFrame frame;
  clearFrame(frame.bytes);
  std::memcpy(framePayload(frame.bytes), payload.data(), payload.size());
  writeFrameHeader(frame.bytes, sender, receiver, static_cast<std::uint16_t>(payload.size()),
                   sequence, acknowledge);
  frame.size = kFrameHeaderSize + payload.size();
  return frame;
}

int deviceSocket(const std::string& device, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
               static_cast<socklen_t>(device.size() + 1));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void broadcast(int fd, const CraftedFrame& frame) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kLinkPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  (void)::sendto(fd, frame.bytes.data(), frame.size, 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
}

MacAddress parseMac(const std::string& text) {
  MacAddress mac{};
  unsigned bytes[6] = {};
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &bytes[0], &bytes[1], &bytes[2], &bytes[3],
                  &bytes[4], &bytes[5]) == 6) {
    for (int i = 0; i < 6; ++i)
      mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bytes[i]);
  }
  return mac;
}

}  // namespace vl::test

namespace vl::test {

PeerRun startPeer(const ScriptedPeer& script, const char* ownIp) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const int socket = udpSocket(ownIp, kLinkPort, false);
  PeerRun run;
  run.child = spawn([&]() {
    ::close(fds[0]);
    timeval idle{script.idleMillis / 1000, (script.idleMillis % 1000) * 1000};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    FrameBuffer frame;
    std::size_t next = 0;
    int ignored = 0;
    CraftedFrame last;
    int lastSequence = -1;
    for (;;) {
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t got = ::recvfrom(socket, frame.data(), frame.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 0) break;
      const std::uint16_t sequence = frameSequence(frame);
      std::string line = std::to_string(sequence) + " ";
      line.append(reinterpret_cast<const char*>(framePayload(frame)),
                  std::min<std::size_t>(4, frameLength(frame)));
      line.push_back('\n');
      (void)!::write(fds[1], line.data(), line.size());
      if (ignored < script.ignoreFirst) {
        ++ignored;
        continue;
      }
      if (sequence != lastSequence) {
        if (next >= script.answers.size()) continue;
        last = craftFrame(script.ownMac, script.boardMac, static_cast<std::uint16_t>(sequence + 1),
                          sequence, script.answers[next++]);
        lastSequence = sequence;
      }
      if (script.answerDelayMillis > 0)
        ::usleep(static_cast<useconds_t>(script.answerDelayMillis) * 1000);
      (void)::sendto(socket, last.bytes.data(), last.size, 0, reinterpret_cast<sockaddr*>(&from),
                     size);
    }
    ::close(fds[1]);
    return 0;
  });
  ::close(fds[1]);
  ::close(socket);
  run.logFd = fds[0];
  return run;
}

std::vector<std::string> PeerRun::finish() {
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(logFd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(logFd);
  (void)child.wait();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

}  // namespace vl::test
