#include "tests/link/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vl::test {

bool run(const std::string& command) {
  const std::string quiet = command + " >/dev/null 2>&1";
  return std::system(quiet.c_str()) == 0;
}

namespace {
int bound(int fd, const char* ip, std::uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) return fd;
  ::close(fd);
  return -1;
}
}  // namespace

int udpSocket(const char* ip, std::uint16_t port, bool nonBlocking) {
  static const bool isolated = ::unshare(CLONE_NEWNET) == 0 && run("ip link set lo up");
  if (!isolated) return -1;
  const int fd = bound(::socket(AF_INET, SOCK_DGRAM, 0), ip, port);
  if (fd >= 0 && nonBlocking) ::fcntl(fd, F_SETFL, O_NONBLOCK);
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

bool NetWorld::ip(const std::string& ns, const std::string& command) {
  return run("ip -n " + prefix_ + ns + " " + command);
}

Child NetWorld::runIn(const std::string& ns, const std::function<int()>& body) {
  const std::string path = "/run/netns/" + prefix_ + ns;
  std::fflush(nullptr);
  Child child;
  child.pid = ::fork();
  if (child.pid != 0) return child;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int result = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0 ? body() : 99;
  std::fflush(nullptr);
  ::_exit(result);
}

Child NetWorld::execIn(const std::string& ns, std::vector<std::string> argv,
                       const std::string& log) {
  return runIn(ns, [&]() {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    return 127;
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

void sendToBoard(int fd, std::string_view datagram) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kLinkPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  (void)::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
}

std::vector<std::string> takeRequests(int fd) {
  std::vector<std::string> lines;
  FrameBuffer frame;
  while (::recv(fd, frame.data(), frame.size(), 0) >= 0) {
    lines.push_back(std::to_string(frameSequence(frame)) + " " +
                    std::string(reinterpret_cast<const char*>(framePayload(frame)),
                                std::min<std::size_t>(4, frameLength(frame))));
  }
  return lines;
}

int deviceSocket(const std::string& device) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
               static_cast<socklen_t>(device.size() + 1));
  return bound(fd, "0.0.0.0", kLinkPort);
}

}  // namespace vl::test
