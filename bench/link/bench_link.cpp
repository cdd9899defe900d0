// Speed of the install-server link on veth segments, next to what bounds it:
//  1. a bare ping-pong of a 20-byte request and a 4096-byte answer between two processes;
//  2. the file phase of a 32 MiB file between tarnwick and the board's link code;
//  3. the same file over TFTP (tftpd-hpa and curl with 4076-byte blocks);
//  4. twenty boards at once on one bridge: aggregate rate and the server's CPU time.
// Needs root (it builds its own network namespaces and removes them at the end).
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/server_link.h"
#include "link/transfer.h"
#include "tests/link/board_driver.h"
#include "tests/link/test_support.h"

namespace {

using vl::test::Child;
using vl::test::NetWorld;

constexpr std::size_t kFileSize = 32u << 20;

double seconds() { return static_cast<double>(vl::nowMicros()) / 1e6; }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int deviceSocket(const char* device) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device,
               static_cast<socklen_t>(std::strlen(device) + 1));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(vl::kLinkPort);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  return fd;
}

sockaddr_in broadcastAddress() {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(vl::kLinkPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  return to;
}

// Exchanges per second of a bare stop-and-wait over the same kind of sockets.
double pingPong(NetWorld& net, double duration) {
  Child echo = net.runIn("srv", []() {
    const int fd = deviceSocket("s0");
    std::vector<std::uint8_t> buffer(4096);
    const sockaddr_in to = broadcastAddress();
    for (;;) {
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (got == 20) {
        buffer[0] = 1;  // not our own request heard back
        ::sendto(fd, buffer.data(), 4096, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      }
    }
    return 0;
  });
  int result[2];
  (void)!::pipe(result);
  Child client = net.runIn("board", [&]() {
    const int fd = deviceSocket("eth0");
    std::vector<std::uint8_t> buffer(4096);
    std::uint8_t request[20] = {};
    const sockaddr_in to = broadcastAddress();
    ::usleep(100000);
    long exchanges = 0;
    const double start = seconds();
    while (seconds() - start < duration) {
      ::sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      while (::recv(fd, buffer.data(), buffer.size(), 0) != 4096) {
      }
      ++exchanges;
    }
    const double rate = static_cast<double>(exchanges) / (seconds() - start);
    (void)!::write(result[1], &rate, sizeof rate);
    return 0;
  });
  double rate = 0;
  (void)!::read(result[0], &rate, sizeof rate);
  (void)client.wait();
  echo.kill(SIGKILL);
  (void)echo.wait();
  ::close(result[0]);
  ::close(result[1]);
  return rate;
}

struct ServerRun {
  Child child;
};

ServerRun startTarnwick(NetWorld& net, const std::string& device, const std::string& file,
                        int boards) {
  ServerRun run;
  run.child = net.runIn("srv", [&]() {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const std::string count = std::to_string(boards);
    ::execl(TARNWICK_PATH, TARNWICK_PATH, "-i", device.c_str(), "--boards", count.c_str(),
            file.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  ::usleep(200000);
  return run;
}

// Runs one board in `ns`; returns the seconds of its file phase through a pipe.
Child boardTimed(NetWorld& net, const std::string& ns, int resultFd) {
  return net.runIn(ns, [resultFd]() {
    vl::ServerLink link;
    if (!vl::enumerateChannels(link.channels) || link.channels.empty()) return 1;
    bool keep = false;
    (void)vl::discoverServer(
        link, "mips", "", "", "QL-BENCH", []() { return vl::Version{0}; }, keep);
    if (!vl::startInstall(link) || vl::requestNextFile(link) != vl::NextFile::File) return 1;
    std::uint8_t buffer[4096];
    std::int64_t total = 0;
    const double start = seconds();
    int count = 0;
    while ((count = vl::readFileData(*link.fileStream, buffer, sizeof buffer)) > 0) total += count;
    const double elapsed = seconds() - start;
    (void)vl::requestNextFile(link);
    int console[2];
    (void)!::pipe(console);
    ::dup2(console[0], 0);
    vl::awaitTermination(link);
    const double figures[2] = {elapsed, static_cast<double>(total)};
    (void)!::write(resultFd, figures, sizeof figures);
    return count == 0 ? 0 : 1;
  });
}

double serverCpuSeconds(Child& server) {
  int status = 0;
  rusage usage{};
  ::wait4(server.pid, &status, 0, &usage);
  server.pid = -1;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "bench_link: needs root for its network namespaces\n");
    return 2;
  }
  const int boards = argc > 1 ? std::atoi(argv[1]) : 20;
  char pattern[] = "/tmp/vl-bench-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  ::chmod(dir.c_str(), 0755);  // tftpd reads it as its own unprivileged user
  const std::string file = dir + "/image.scr";
  {
    std::vector<char> bytes(kFileSize);
    std::uint64_t state = 1;
    for (char& c : bytes) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      c = static_cast<char>(state >> 56);
    }
    std::FILE* out = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }

  NetWorld net;
  net.addNamespace("srv");
  net.addNamespace("board");
  net.addVeth("board", "eth0", "02:00:00:00:01:01", "srv", "s0", "02:00:00:00:00:01");

  // TFTP over the same segment needs addresses: inside our own namespaces only.
  net.ip("srv", "addr add 10.77.0.1/24 dev s0");
  net.ip("board", "addr add 10.77.0.2/24 dev eth0");
  Child tftpd = net.runIn("srv", [&]() {
    ::execl("/usr/sbin/in.tftpd", "in.tftpd", "-L", "-s", dir.c_str(), "-a", "10.77.0.1:69",
            static_cast<char*>(nullptr));
    return 127;
  });
  ::usleep(300000);

  // This machine's speed drifts from second to second: the bound, the link and TFTP are
  // measured in turns, several rounds, and the medians compared.
  std::printf("One veth segment, %zu MiB file, stop-and-wait with 4076-byte answers\n",
              kFileSize >> 20);
  std::printf("  round  ping-pong bound   tarnwick->board link   TFTP (curl, 4076 B blocks)\n");
  constexpr int kRounds = 3;
  std::vector<double> bounds, links, tftps;
  for (int round = 0; round < kRounds; ++round) {
    const double bound = pingPong(net, 1.5) * 4076;
    int result[2];
    (void)!::pipe(result);
    ServerRun server = startTarnwick(net, "s0", file, 1);
    Child board = boardTimed(net, "board", result[1]);
    double figures[2] = {};
    (void)!::read(result[0], figures, sizeof figures);
    (void)board.wait();
    (void)server.child.wait();
    ::close(result[0]);
    ::close(result[1]);
    const double link = figures[1] / figures[0];
    const double start = seconds();
    Child curl = net.runIn("board", []() {
      ::execl("/usr/bin/curl", "curl", "-s", "--tftp-blksize", "4076", "-o", "/dev/null",
              "tftp://10.77.0.1/image.scr", static_cast<char*>(nullptr));
      return 127;
    });
    const int status = curl.wait();
    const double tftp = static_cast<double>(kFileSize) / (seconds() - start);
    if (status != 0) std::printf("  curl failed (%d)\n", status);
    std::printf("  %5d  %9.1f MB/s   %13.1f MB/s   %12.1f MB/s\n", round + 1, bound / 1e6,
                link / 1e6, tftp / 1e6);
    bounds.push_back(bound);
    links.push_back(link);
    tftps.push_back(tftp);
  }
  tftpd.kill(SIGKILL);
  (void)tftpd.wait();
  const double bound = median(bounds), link = median(links), tftp = median(tftps);
  std::printf("  median %8.1f MB/s   %13.1f MB/s   %12.1f MB/s\n", bound / 1e6, link / 1e6,
              tftp / 1e6);
  std::printf("  link = %.0f%% of the ping-pong bound (goal >= 90%%), %.2fx TFTP (goal > 1)\n",
              100 * link / bound, link / tftp);
  double figures[2] = {};

  // Many boards at once on one bridge.
  NetWorld many;
  many.addNamespace("srv");
  many.ip("srv", "link add name br0 type bridge");
  many.ip("srv", "link set br0 up");
  many.ip("srv", "link set br0 address 02:00:00:00:00:01");
  for (int i = 0; i < boards; ++i) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02x:01", i + 1);
    const std::string ns = "b" + std::to_string(i);
    many.addNamespace(ns);
    many.addVeth(ns, "eth0", mac, "srv", "p" + std::to_string(i), "");
    many.ip("srv", "link set p" + std::to_string(i) + " master br0");
  }
  ServerRun shared = startTarnwick(many, "br0", file, boards);
  int manyResult[2];
  (void)!::pipe(manyResult);
  const double start = seconds();
  std::vector<Child> children;
  for (int i = 0; i < boards; ++i)
    children.push_back(boardTimed(many, "b" + std::to_string(i), manyResult[1]));
  double bytes = 0;
  for (int i = 0; i < boards; ++i) {
    (void)!::read(manyResult[0], figures, sizeof figures);
    bytes += figures[1];
  }
  const double wall = seconds() - start;
  for (Child& child : children) (void)child.wait();
  const double cpu = serverCpuSeconds(shared.child);
  std::printf("%d boards at once on one bridge, the same file each\n", boards);
  std::printf(
      "  aggregate: %.1f MB in %.1f s = %.1f MB/s; server CPU %.1f s (%.0f%% of one core)\n",
      bytes / 1e6, wall, bytes / 1e6 / wall, cpu, 100 * cpu / wall);
  vl::test::run("rm -rf " + dir);
  return 0;
}
