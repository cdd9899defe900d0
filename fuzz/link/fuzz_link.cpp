// The board's side of the link against any frame: the acceptance rules, an offer during
// discovery and the answer that announces a file. Offers and announces travel over
// loopback UDP (ephemeral ports) with headers the board accepts, so only their text is
// hostile; every run ends without a timeout.
#include <arpa/inet.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "link/server_link.h"
#include "link/transfer.h"

namespace {

const vl::MacAddress kBoard = {2, 0, 0, 0, 0, 1}, kServer = {2, 0, 0, 0, 0, 2},
                     kOther = {2, 0, 0, 0, 0, 3};

// The server's socket, and a board link with one channel that sends to it; both bound
// to ephemeral loopback ports.
struct Loopback {
  sockaddr_in server{}, board{};
  int serverFd = bound(server);
  vl::ServerLink link;

  static int bound(sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    address = sockaddr_in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) std::abort();
    (void)::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return fd;
  }
  Loopback() {
    auto& channel = *link.channels.emplace_back(std::make_unique<vl::NetChannel>());
    channel.socket = bound(board);
    channel.hardwareAddress = kBoard;
    channel.destination = server;
  }
  ~Loopback() { ::close(serverFd); }
  void send(const vl::MacAddress& from, std::string_view text, int seq, int ack) {
    vl::FrameBuffer frame{};
    const std::string_view payload = text.substr(0, vl::kMaxPayload);
    std::memcpy(vl::framePayload(frame), payload.data(), payload.size());
    vl::writeFrameHeader(frame, from, kBoard, static_cast<std::uint16_t>(payload.size()),
                         static_cast<std::uint16_t>(seq), static_cast<std::uint16_t>(ack));
    (void)::sendto(serverFd, frame.data(), vl::kFrameHeaderSize + payload.size(), 0,
                   reinterpret_cast<const sockaddr*>(&board), sizeof board);
  }
};

void checkAcceptance(FuzzedDataProvider& input) {
  vl::LinkState state{input.ConsumeIntegral<std::uint32_t>(),
                      input.ConsumeIntegral<std::uint32_t>(), kBoard,
                      input.ConsumeBool() ? kServer : vl::MacAddress{}};
  const vl::LinkState before = state;
  vl::FrameBuffer frame{};
  const std::string bytes = input.ConsumeRandomLengthString(vl::kFrameSize);
  std::memcpy(frame.data(), bytes.data(), bytes.size());
  const int received = input.ConsumeBool() ? -1 : static_cast<int>(bytes.size());
  const bool accepted = vl::acceptFrame(state, frame, received);
  if (accepted != (state.recvSeq == before.recvSeq + 1) || state.sentSeq != before.sentSeq ||
      (accepted && (vl::frameLength(frame) + vl::kFrameHeaderSize != bytes.size() ||
                    vl::frameSender(frame) == kBoard))) {
    std::abort();
  }
}

void checkOffer(std::string_view offer) {
  Loopback loop;
  loop.send(kServer, offer, 1, 0);
  loop.send(kOther, "OFFR\nother\nkeep\n", 1, 0);
  loop.send(kServer, "OK\n", 2, 1);
  loop.send(kOther, "OK\n", 2, 1);
  bool keep = false;
  if (!vl::discoverServer(loop.link, "mips", "", "", "QL", {}, keep)) std::abort();
  const bool taken = loop.link.state.peerMac == kServer;
  if (loop.link.chosen != 0 || (!taken && !keep) || (taken && !offer.starts_with("OFFR"))) {
    std::abort();
  }
}

void checkAnnounce(std::string_view answer, std::uint32_t sent, std::uint32_t received) {
  Loopback loop;
  loop.link.chosen = 0;
  loop.link.state = vl::LinkState{sent, received, kBoard, kServer};
  loop.send(kServer, answer, static_cast<int>(received + 1), static_cast<int>(sent + 1));
  const vl::NextFile next = vl::requestNextFile(loop.link);
  if (next == vl::NextFile::LinkFailure) std::abort();
  const vl::FileStream& file = *loop.link.fileStream;
  if (next == vl::NextFile::File && (!answer.starts_with("FILE") || file.size < 0 ||
                                     file.name.size() > vl::FileStream::kNameSize)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 3 * vl::kFrameSize) return 0;
  FuzzedDataProvider input(data, size);
  checkAcceptance(input);
  // Mostly texts of the right kind, so that the fuzzer spends its time on their lines.
  checkOffer((input.ConsumeBool() ? "OFFR\n" : "") +
             input.ConsumeRandomLengthString(vl::kMaxPayload));
  const std::uint32_t sent = input.ConsumeIntegral<std::uint32_t>();
  const std::uint32_t received = input.ConsumeIntegral<std::uint32_t>();
  const char* word = input.ConsumeBool() ? "FILE\n" : "";
  checkAnnounce(word + input.ConsumeRemainingBytesAsString(), sent, received);
  return 0;
}
