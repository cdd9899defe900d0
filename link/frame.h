// Frames of the install-server protocol: a 20-byte little-endian header and a payload,
// carried as the whole of one UDP datagram, and the stop-and-wait exchange built on them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/channel.h"

namespace vl {

inline constexpr std::size_t kFrameSize = 4096;
inline constexpr std::size_t kFrameHeaderSize = 20;
inline constexpr std::size_t kMaxPayload = kFrameSize - kFrameHeaderSize;  // 4076

using FrameBuffer = std::array<std::uint8_t, kFrameSize>;

// Byte offsets of the header fields.
inline constexpr std::size_t kSenderOffset = 0;
inline constexpr std::size_t kReceiverOffset = 6;
inline constexpr std::size_t kLengthOffset = 14;
inline constexpr std::size_t kSequenceOffset = 16;
inline constexpr std::size_t kAcknowledgeOffset = 18;

// Numbering and addressing of one link. The counters are 32 bits, the wire fields 16:
// every comparison with a received field is made modulo 65536, so an installation may
// exchange any number of frames.
struct LinkState {
  std::uint32_t sentSeq = 0;
  std::uint32_t recvSeq = 0;
  MacAddress ownMac{};
  MacAddress peerMac{};
};

// Explicit byte order, so that the boards' big-endian processors write the same bytes.
inline std::uint16_t readLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline void writeLe16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value & 0xFFu);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline std::uint16_t frameLength(const FrameBuffer& frame) {
  return readLe16(frame.data() + kLengthOffset);
}
inline std::uint16_t frameSequence(const FrameBuffer& frame) {
  return readLe16(frame.data() + kSequenceOffset);
}
inline std::uint16_t frameAcknowledge(const FrameBuffer& frame) {
  return readLe16(frame.data() + kAcknowledgeOffset);
}
MacAddress frameSender(const FrameBuffer& frame);
MacAddress frameReceiver(const FrameBuffer& frame);
inline std::uint8_t* framePayload(FrameBuffer& frame) { return frame.data() + kFrameHeaderSize; }
inline const std::uint8_t* framePayload(const FrameBuffer& frame) {
  return frame.data() + kFrameHeaderSize;
}

// Writes all header fields; the reserved field is left as it is (zero in a cleared frame).
void writeFrameHeader(FrameBuffer& frame, const MacAddress& sender, const MacAddress& receiver,
                      std::uint16_t payloadLength, std::uint16_t sequence,
                      std::uint16_t acknowledge);

// True when `sequence` is later than `reference` in the 16-bit circle (by 1 to 32767).
bool sequenceAfter(std::uint16_t sequence, std::uint16_t reference);

void clearFrame(FrameBuffer& frame);

// Writes the header of a frame whose payload is already in place and advances sentSeq.
void stampFrame(LinkState& state, FrameBuffer& frame, std::uint16_t payloadLength);

// The acceptance rules, in order; on true recvSeq has advanced. A length below 20
// (a failed receive included) zeroes the first 20 bytes of the buffer.
[[nodiscard]] bool acceptFrame(LinkState& state, FrameBuffer& frame, int receivedLength);

// Sends the stamped request and waits up to `tries` times `timeoutMicros` for an accepted
// answer. Returns the answer's length (header included) or -1.
[[nodiscard]] int exchangeFrame(NetChannel& channel, LinkState& state, const FrameBuffer& request,
                                FrameBuffer& answer, std::int64_t timeoutMicros, int tries);

// Microseconds of a monotonic clock, 0 when it cannot be read. Monotonic, so that a
// clock step during an installation cannot stretch or cut a try.
std::int64_t nowMicros();

// Waits until `fd` is readable or `timeoutMicros` pass: 1 readable, 0 time up, -1 error
// (errno kept, EINTR included).
int waitReadable(int fd, std::int64_t timeoutMicros);

}  // namespace vl
