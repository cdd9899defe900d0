#include "link/transfer.h"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vl {
namespace {

constexpr std::int64_t kTermResendMicros = 1000000;

void writeRequest(LinkState& state, FrameBuffer& frame, const char (&command)[5]) {
  clearFrame(frame);
  std::memcpy(framePayload(frame), command, 4);
  stampFrame(state, frame, 4);
}

bool startsWith(const FrameBuffer& frame, const char* word) {
  return frameLength(frame) >= 4 && std::memcmp(framePayload(frame), word, 4) == 0;
}

// Line 3 read the way strtol reads a base-10 number. On a 32-bit board long is 32 bits
// and strtol saturates there; the same saturation holds on every host.
std::int64_t parseSize(const std::uint8_t* from, const std::uint8_t* end) {
  char digits[32] = {};
  const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(end - from), 31);
  std::memcpy(digits, from, count);
  const long long value = std::strtoll(digits, nullptr, 10);
  return std::clamp<long long>(value, INT32_MIN, INT32_MAX);
}

}  // namespace

bool startInstall(ServerLink& link) {
  FrameBuffer request;
  FrameBuffer answer;
  clearFrame(answer);
  writeRequest(link.state, request, "STRT");
  return exchangeFrame(link.chosenChannel(), link.state, request, answer, kStartTimeout,
                       kStartTries) > 0;
}

NextFile requestNextFile(ServerLink& link) {
  link.fileStream = std::make_unique<FileStream>();
  FileStream& stream = *link.fileStream;
  stream.channel = &link.chosenChannel();
  stream.state = &link.state;
  FrameBuffer request;
  writeRequest(link.state, request, "RETR");
  if (exchangeFrame(*stream.channel, link.state, request, stream.answer, kNextFileTimeout,
                    kTransferTries) < 1) {
    return NextFile::LinkFailure;
  }
  if (!startsWith(stream.answer, "FILE")) return NextFile::EndOfList;
  const std::uint8_t* payload = framePayload(stream.answer);
  const std::uint8_t* end = payload + frameLength(stream.answer);
  const std::uint8_t* line1End = std::find(payload, end, std::uint8_t{'\n'});
  if (line1End == end) return NextFile::EndOfList;
  const std::uint8_t* name = line1End + 1;
  const std::uint8_t* nameEnd = std::find(name, end, std::uint8_t{'\n'});
  if (nameEnd == end) return NextFile::EndOfList;
  const std::uint8_t* sizeText = nameEnd + 1;
  const std::uint8_t* sizeEnd = std::find(sizeText, end, std::uint8_t{'\n'});
  const std::int64_t size = parseSize(sizeText, sizeEnd);
  if (size < 0) return NextFile::EndOfList;
  const std::size_t nameLength =
      std::min<std::size_t>(static_cast<std::size_t>(nameEnd - name), FileStream::kNameSize);
  stream.name.assign(reinterpret_cast<const char*>(name), nameLength);
  stream.size = static_cast<std::int32_t>(size);
  return NextFile::File;
}

int readFileData(FileStream& stream, std::uint8_t* destination, int maximum) {
  if (stream.consumed == stream.buffered) {
    FrameBuffer request;
    writeRequest(*stream.state, request, "RETR");
    if (exchangeFrame(*stream.channel, *stream.state, request, stream.answer, kDataTimeout,
                      kTransferTries) < 1) {
      return -1;
    }
    stream.consumed = 0;
    stream.buffered = frameLength(stream.answer);
    if (stream.buffered == 0) return 0;
  }
  const int count = std::min(stream.buffered - stream.consumed, std::max(maximum, 0));
  std::memcpy(destination, framePayload(stream.answer) + stream.consumed,
              static_cast<std::size_t>(count));
  stream.consumed += count;
  return count;
}

void awaitTermination(ServerLink& link) {
  NetChannel& channel = link.chosenChannel();
  FrameBuffer request;
  FrameBuffer answer;
  clearFrame(answer);
  writeRequest(link.state, request, "WTRM");
  const std::size_t size = kFrameHeaderSize + 4;
  for (;;) {
    (void)channelSend(channel, request.data(), size);
    const std::int64_t deadline = nowMicros() + kTermResendMicros;
    for (;;) {
      const std::int64_t left = deadline - nowMicros();
      if (left <= 0) break;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(0, &readable);
      if (channel.socket >= 0 && channel.socket < FD_SETSIZE) FD_SET(channel.socket, &readable);
      timeval timeout{};
      timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(left / 1000000);
      timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>(left % 1000000);
      const int ready =
          ::select(std::max(channel.socket, 0) + 1, &readable, nullptr, nullptr, &timeout);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      if (FD_ISSET(0, &readable)) return;
      const int received = channelReceive(channel, answer.data());
      if (received <= 0) break;
      if (acceptFrame(link.state, answer, received) && startsWith(answer, "TERM")) return;
    }
  }
}

}  // namespace vl
