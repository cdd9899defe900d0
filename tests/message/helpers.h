// Byte builders, a log catcher and a message with every field type for the message tests.
#pragma once

#include <initializer_list>
#include <string>

#include "message/message.h"

namespace vl::testing {

// `size` bytes of `value`, little-endian.
inline Bytes le(std::uint64_t value, int size) {
  Bytes out;
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline const Bytes kMagic = {0x4D, 0x32};

inline Bytes flat(const message& msg) {
  Bytes out;
  if (!flatten(msg, out)) out.clear();
  return out;
}

// Collects the library's log output while it lives.
struct CapturedLog {
  CapturedLog() {
    previous = setLogSink([this](std::string_view s) { text += s; });
  }
  ~CapturedLog() { setLogSink(std::move(previous)); }
  std::string text;
  LogSink previous;
};

// Every field type once, arrays included; `flags` is or-ed into every key.
inline message sample(Key flags = 0) {
  message inner;
  inner.setU32(STD_ID | flags, 7);
  message msg;
  msg.setBool(SYS_REPLYEXP | flags, true);
  msg.setBool(STD_DISABLED | flags, false);
  msg.setU32(SYS_CMD | flags, CMD_GETALL);
  msg.setU64(STD_COUNT | flags, 18446744073709551615ull);
  msg.setAddr6(SYS_RADDR6 | flags, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  msg.setString(STD_NAME | flags, "ether1");
  (void)msg.setMessage(STD_OBJS | flags, inner);
  msg.setRaw(0xFD0001 | flags, {0x00, 0xAB, 0x7F});
  msg.setBoolArray(0x000003 | flags, {true, false});
  msg.setU32Array(SYS_TO | flags, {1, 300});
  msg.setU64Array(0x000005 | flags, {});
  msg.setAddr6Array(0x000006 | flags, {Addr6{}});
  msg.setStringArray(0x000007 | flags, {"a", "b c"});
  (void)msg.setMessageArray(0x000008 | flags, {inner, message()});
  msg.setRawArray(0x000009 | flags, {{0x01}, {}});
  return msg;
}

}  // namespace vl::testing
