#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/server_link.h"

namespace vl {
namespace {

constexpr std::int64_t kCycleMicros = 1000000;
constexpr std::int64_t kConfirmTimeout = 1000000;
constexpr int kConfirmTries = 5;

void rebuildChannels(ServerLink& link) {
  link.channels.clear();  // closes every channel
  if (!enumerateChannels(link.channels)) link.channels.clear();
  link.cycleCounter = 0;
}

// Sends the DSCV frame on every channel, each stamped with that channel's address.
void broadcastDiscovery(ServerLink& link, FrameBuffer& frame, std::size_t payloadLength) {
  for (auto& channel : link.channels) {
    link.state.ownMac = channel->hardwareAddress;
    stampFrame(link.state, frame, static_cast<std::uint16_t>(payloadLength));
    link.state.sentSeq = 0;
    link.state.recvSeq = 0;
    // A failing interface must not keep the server on another one from hearing us.
    (void)channelSend(*channel, frame.data(), kFrameHeaderSize + payloadLength);
  }
}

const std::uint8_t* findLineFeed(const std::uint8_t* from, const std::uint8_t* end) {
  return std::find(from, end, std::uint8_t{'\n'});
}

// Judges one received datagram on channel `index` as a fresh offer and takes it when
// it is one; the keep flag is set from line 3.
bool takeOffer(ServerLink& link, std::size_t index, FrameBuffer& frame, int received, bool& keep) {
  LinkState& state = link.state;
  state.sentSeq = 0;
  state.recvSeq = 0;
  state.ownMac = link.channels[index]->hardwareAddress;
  state.peerMac = MacAddress{};
  if (!acceptFrame(state, frame, received)) return false;
  if (isZeroMac(frameReceiver(frame))) return false;
  const std::size_t length = frameLength(frame);
  if (length < 4 || std::memcmp(framePayload(frame), "OFFR", 4) != 0) return false;
  const std::uint8_t* payload = framePayload(frame);
  const std::uint8_t* end = payload + length;
  const std::uint8_t* line1End = findLineFeed(payload, end);
  if (line1End == end) return false;
  const std::uint8_t* line2 = line1End + 1;
  const std::uint8_t* line2End = findLineFeed(line2, end);
  if (line2End == end || static_cast<std::size_t>(line2End - line2) > kMaxOfferText) return false;
  const std::uint8_t* line3 = line2End + 1;
  const std::uint8_t* line3End = findLineFeed(line3, end);
  keep = line3End != end && line3End - line3 == 4 && std::memcmp(line3, "keep", 4) == 0;
  link.chosen = static_cast<std::int32_t>(index);
  state.peerMac = frameSender(frame);
  return true;
}

bool confirmOffer(ServerLink& link) {
  FrameBuffer request;
  FrameBuffer answer;
  clearFrame(request);
  clearFrame(answer);
  std::memcpy(framePayload(request), "YACK\n", 5);
  stampFrame(link.state, request, 5);
  return exchangeFrame(link.chosenChannel(), link.state, request, answer, kConfirmTimeout,
                       kConfirmTries) > 0;
}

void setCycleTimeout(ServerLink& link, std::int64_t micros) {
  const std::int64_t left = std::max<std::int64_t>(micros, 0);
  link.cycleTimeout.tv_sec = static_cast<decltype(link.cycleTimeout.tv_sec)>(left / 1000000);
  link.cycleTimeout.tv_usec = static_cast<decltype(link.cycleTimeout.tv_usec)>(left % 1000000);
}

enum class Listen { Offer, CycleOver };

// Listens on every channel for the rest of the cycle; Offer when one was taken.
Listen listenForOffer(ServerLink& link, FrameBuffer& frame, std::int64_t deadline, bool& keep) {
  for (;;) {
    const std::int64_t left = deadline - nowMicros();
    if (left <= 0) return Listen::CycleOver;
    setCycleTimeout(link, left);
    fd_set readable;
    FD_ZERO(&readable);
    int highest = -1;
    for (auto& channel : link.channels) {
      if (channel->socket < 0 || channel->socket >= FD_SETSIZE) continue;
      FD_SET(channel->socket, &readable);
      highest = std::max(highest, channel->socket);
    }
    timeval timeout = link.cycleTimeout;
    const int ready = ::select(highest + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Listen::CycleOver;
    for (std::size_t i = 0; i < link.channels.size(); ++i) {
      NetChannel& channel = *link.channels[i];
      if (channel.socket < 0 || !FD_ISSET(channel.socket, &readable)) continue;
      int received = 0;
      while ((received = channelReceive(channel, frame.data())) > 0) {
        if (takeOffer(link, i, frame, received, keep)) return Listen::Offer;
        link.chosen = -1;
      }
    }
  }
}

}  // namespace

std::string discoveryPayload(std::string_view architecture, std::string_view text2,
                             std::string_view text3, std::string_view model, Version minVersion) {
  std::string text = "DSCV\n";
  for (std::string_view line : {text2, text3, model, architecture}) {
    text.append(line);
    text.push_back('\n');
  }
  text += formatVersion(minVersion);
  text.push_back('\n');
  text.append(kInstallerRelease);
  text.push_back('\n');
  // The callers' texts are not checked; the frame never overflows.
  if (text.size() > kMaxPayload - 1) text.resize(kMaxPayload - 1);
  text.push_back('\0');
  return text;
}

bool discoverServer(ServerLink& link, std::string_view architecture, std::string_view text2,
                    std::string_view text3, std::string_view model,
                    const std::function<Version()>& minVersion, bool& keep) {
  FrameBuffer frame;
  for (;;) {
    keep = false;
    for (;;) {
      clearFrame(frame);
      const std::string payload =
          discoveryPayload(architecture, text2, text3, model, minVersion ? minVersion() : 0);
      std::memcpy(framePayload(frame), payload.data(), payload.size());
      link.cycleCounter += 1;
      if (link.cycleCounter >= kCyclesPerRebuild) rebuildChannels(link);
      link.chosen = -1;
      link.state.sentSeq = 0;
      link.state.recvSeq = 0;
      link.state.peerMac = MacAddress{};
      const std::int64_t deadline = nowMicros() + kCycleMicros;
      setCycleTimeout(link, kCycleMicros);
      broadcastDiscovery(link, frame, payload.size());
      if (listenForOffer(link, frame, deadline, keep) == Listen::Offer) break;
    }
    if (confirmOffer(link)) return true;
    // The server offered but did not confirm: look for one from scratch.
  }
}

}  // namespace vl
