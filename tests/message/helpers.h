// Byte builders and a seeded generator of messages for the message tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "message/message.h"

namespace vl::test {

// Little-endian pieces, concatenated: le({le16(0x324D), le32(key), {5}}).
inline Bytes le16(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}
inline Bytes le32(std::uint32_t v) {
  Bytes out = le16(static_cast<std::uint16_t>(v));
  Bytes high = le16(static_cast<std::uint16_t>(v >> 16));
  out.insert(out.end(), high.begin(), high.end());
  return out;
}
inline Bytes le64(std::uint64_t v) {
  Bytes out = le32(static_cast<std::uint32_t>(v));
  Bytes high = le32(static_cast<std::uint32_t>(v >> 32));
  out.insert(out.end(), high.begin(), high.end());
  return out;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline const Bytes kMagic = {0x4D, 0x32};

// Random messages with every field type, lengths on both sides of the short forms, and
// nested messages a few levels deep.
class MessageGenerator {
 public:
  explicit MessageGenerator(std::uint32_t seed) : rng_(seed) {}

  // Keys come from a few namespaces; passThrough decides bit 25 of every key.
  message make(unsigned depth, bool passThrough = false) {
    message msg;
    const unsigned count = pick(0, 14);
    for (unsigned i = 0; i < count; ++i) addField(msg, depth, passThrough);
    return msg;
  }

  std::uint32_t pick(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(rng_);
  }

 private:
  Key randomKey(bool passThrough) {
    static constexpr Key kSpaces[] = {0xFF0000, 0xFE0000, 0xFD0000, 0x000000, 0x420000};
    Key key = kSpaces[pick(0, 4)] | pick(0, 40);
    return passThrough ? key | kPassThroughFlag : key;
  }

  std::uint32_t u32() { return pick(0, 2) == 0 ? pick(0, 255) : pick(0, UINT32_MAX); }
  std::uint64_t u64() { return (std::uint64_t{pick(0, UINT32_MAX)} << 32) | pick(0, UINT32_MAX); }
  Addr6 addr6() {
    Addr6 a{};
    for (auto& byte : a) byte = static_cast<std::uint8_t>(pick(0, 255));
    return a;
  }
  std::size_t length() { return pick(0, 7) == 0 ? pick(250, 700) : pick(0, 40); }
  std::string str() {
    std::string s(length(), '\0');
    for (char& c : s) c = static_cast<char>(pick(0, 255));
    return s;
  }
  Bytes raw() {
    std::string s = str();
    return Bytes(s.begin(), s.end());
  }
  template <class F>
  auto many(F make) {
    std::vector<decltype(make())> values(pick(0, 20));
    for (auto& v : values) v = make();
    return values;
  }

  // A nested message that still fits its 16-bit length.
  message nested(unsigned depth) {
    for (;;) {
      message msg = make(depth);
      const auto size = flatSize(msg);
      if (size && *size <= kMaxFlatLength) return msg;
    }
  }

  void addField(message& msg, unsigned depth, bool passThrough) {
    const Key key = randomKey(passThrough);
    switch (pick(0, depth > 0 ? 13 : 11)) {
      case 0:
        return msg.setBool(key, pick(0, 1) == 1);
      case 1:
        return msg.setU32(key, u32());
      case 2:
        return msg.setU64(key, u64());
      case 3:
        return msg.setAddr6(key, addr6());
      case 4:
        return msg.setString(key, str());
      case 5:
        return msg.setRaw(key, raw());
      case 6: {
        std::vector<bool> values(pick(0, 20));
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = pick(0, 1) == 1;
        return msg.setBoolArray(key, values);
      }
      case 7:
        return msg.setU32Array(key, many([&] { return u32(); }));
      case 8:
        return msg.setU64Array(key, many([&] { return u64(); }));
      case 9:
        return msg.setAddr6Array(key, many([&] { return addr6(); }));
      case 10:
        return msg.setStringArray(key, many([&] { return str(); }));
      case 11:
        return msg.setRawArray(key, many([&] { return raw(); }));
      case 12:
        (void)msg.setMessage(key, nested(depth - 1));
        return;
      default:
        (void)msg.setMessageArray(key, many([&] { return nested(depth - 1); }));
        return;
    }
  }

  std::mt19937 rng_;
};

// Collects the library's log output while it lives.
class CapturedLog {
 public:
  CapturedLog() {
    previous_ = setLogSink([this](std::string_view s) { text += s; });
  }
  ~CapturedLog() { setLogSink(std::move(previous_)); }
  std::string text;

 private:
  LogSink previous_;
};

inline Bytes flat(const message& msg) {
  Bytes out;
  if (!flatten(msg, out)) out.clear();
  return out;
}

}  // namespace vl::test
