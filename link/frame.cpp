#include "link/frame.h"

#include <sys/select.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace vl {
namespace {

MacAddress readMac(const std::uint8_t* bytes) {
  MacAddress mac{};
  std::copy(bytes, bytes + mac.size(), mac.begin());
  return mac;
}

bool macEquals(const std::uint8_t* bytes, const MacAddress& mac) {
  return std::equal(mac.begin(), mac.end(), bytes);
}

bool zeroMacAt(const std::uint8_t* bytes) {
  return std::all_of(bytes, bytes + 6, [](std::uint8_t b) { return b == 0; });
}

std::uint16_t low16(std::uint32_t value) { return static_cast<std::uint16_t>(value & 0xFFFFu); }

}  // namespace

MacAddress frameSender(const FrameBuffer& frame) { return readMac(frame.data() + kSenderOffset); }

MacAddress frameReceiver(const FrameBuffer& frame) {
  return readMac(frame.data() + kReceiverOffset);
}

void writeFrameHeader(FrameBuffer& frame, const MacAddress& sender, const MacAddress& receiver,
                      std::uint16_t payloadLength, std::uint16_t sequence,
                      std::uint16_t acknowledge) {
  std::copy(sender.begin(), sender.end(), frame.begin() + kSenderOffset);
  std::copy(receiver.begin(), receiver.end(), frame.begin() + kReceiverOffset);
  writeLe16(frame.data() + kLengthOffset, payloadLength);
  writeLe16(frame.data() + kSequenceOffset, sequence);
  writeLe16(frame.data() + kAcknowledgeOffset, acknowledge);
}

bool sequenceAfter(std::uint16_t sequence, std::uint16_t reference) {
  const auto distance = static_cast<std::uint16_t>(sequence - reference);
  return distance != 0 && distance < 0x8000u;
}

void clearFrame(FrameBuffer& frame) { frame.fill(0); }

void stampFrame(LinkState& state, FrameBuffer& frame, std::uint16_t payloadLength) {
  state.sentSeq += 1;
  writeFrameHeader(frame, state.ownMac, state.peerMac, payloadLength, low16(state.sentSeq),
                   low16(state.recvSeq));
}

bool acceptFrame(LinkState& state, FrameBuffer& frame, int receivedLength) {
  if (receivedLength < static_cast<int>(kFrameHeaderSize)) {
    std::fill(frame.begin(), frame.begin() + kFrameHeaderSize, std::uint8_t{0});
    return false;
  }
  if (receivedLength - static_cast<int>(kFrameHeaderSize) != frameLength(frame)) return false;
  const std::uint8_t* sender = frame.data() + kSenderOffset;
  const std::uint8_t* receiver = frame.data() + kReceiverOffset;
  if (macEquals(sender, state.ownMac)) return false;
  if (zeroMacAt(receiver)) {
    if (!isZeroMac(state.peerMac)) return false;
  } else if (!macEquals(receiver, state.ownMac)) {
    return false;
  }
  if (!isZeroMac(state.peerMac) && !macEquals(sender, state.peerMac)) return false;
  // The answer may acknowledge an older request, never one not yet sent.
  if (sequenceAfter(frameAcknowledge(frame), low16(state.sentSeq))) return false;
  if (frameSequence(frame) != low16(state.recvSeq + 1)) return false;
  state.recvSeq += 1;
  return true;
}

std::int64_t nowMicros() {
  timespec now{};
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int waitReadable(int fd, std::int64_t timeoutMicros) {
  if (fd < 0 || fd >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  const std::int64_t left = std::max<std::int64_t>(timeoutMicros, 0);
  timeval timeout{};
  timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(left / 1000000);
  timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>(left % 1000000);
  const int ready = ::select(fd + 1, &readable, nullptr, nullptr, &timeout);
  if (ready < 0) return -1;
  return ready > 0 ? 1 : 0;
}

int exchangeFrame(NetChannel& channel, LinkState& state, const FrameBuffer& request,
                  FrameBuffer& answer, std::int64_t timeoutMicros, int tries) {
  const std::size_t size = kFrameHeaderSize + frameLength(request);
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (channelSend(channel, request.data(), size) != static_cast<int>(size)) return -1;
    const std::int64_t deadline = nowMicros() + timeoutMicros;
    std::int64_t left = timeoutMicros;
    for (;;) {
      int received = -1;
      if (waitReadable(channel.socket, left) == 1) {
        received = channelReceive(channel, answer.data());
      }
      if (acceptFrame(state, answer, received)) return received;
      left = deadline - nowMicros();
      if (left <= 0) break;
    }
  }
  return -1;
}

}  // namespace vl
