// Byte builders, a log catcher and a seeded generator of messages for the message tests.
#pragma once

#include <initializer_list>
#include <random>
#include <string>

#include "message/message.h"

namespace vl::testing {

// `size` bytes of `value`, little-endian.
inline Bytes le(std::uint64_t value, int size) {
  Bytes out;
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}
inline Bytes le16(std::uint16_t v) { return le(v, 2); }
inline Bytes le32(std::uint32_t v) { return le(v, 4); }
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

// Random messages with every field type, lengths on both sides of the short forms and
// nested messages; passThrough sets bit 25 on every key.
class MessageGenerator {
 public:
  explicit MessageGenerator(std::uint32_t seed) : rng_(seed) {}

  message make(unsigned depth, bool passThrough = false) {
    message msg;
    for (std::uint32_t n = pick(0, 14); n > 0; --n) {
      const Key key =
          (0xFF0000 - 0x10000 * pick(0, 3) + pick(0, 40)) | (passThrough ? kPassThroughFlag : 0);
      add(msg, key, pick(0, depth > 0 ? 13 : 11), depth);
    }
    return msg;
  }

 private:
  std::uint32_t pick(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(rng_);
  }
  std::uint32_t u32() { return pick(0, 1) ? pick(0, 255) : pick(0, UINT32_MAX); }
  std::uint64_t u64() { return (std::uint64_t{u32()} << 32) | u32(); }
  Addr6 addr6() { return Addr6{static_cast<std::uint8_t>(pick(0, 255)), 0, 1}; }
  std::string str() {
    std::string s(pick(0, 7) == 0 ? pick(250, 700) : pick(0, 40), '\0');
    for (char& c : s) c = static_cast<char>(pick(0, 255));
    return s;
  }
  Bytes raw() { return text(str()); }
  template <class F>
  auto many(F make) {
    std::vector<decltype(make())> values(pick(0, 20));
    for (auto&& v : values) v = make();
    return values;
  }
  // A nested message that still fits its 16-bit length.
  message nested(unsigned depth) {
    for (;;) {
      message msg = make(depth);
      if (flatSize(msg).value_or(UINT32_MAX) <= kMaxFlatLength) return msg;
    }
  }

  void add(message& m, Key key, std::uint32_t type, unsigned depth) {
    switch (type) {
      case 0:
        return m.setBool(key, pick(0, 1));
      case 1:
        return m.setU32(key, u32());
      case 2:
        return m.setU64(key, u64());
      case 3:
        return m.setAddr6(key, addr6());
      case 4:
        return m.setString(key, str());
      case 5:
        return m.setRaw(key, raw());
      case 6:
        return m.setBoolArray(key, many([&] { return pick(0, 1) == 1; }));
      case 7:
        return m.setU32Array(key, many([&] { return u32(); }));
      case 8:
        return m.setU64Array(key, many([&] { return u64(); }));
      case 9:
        return m.setAddr6Array(key, many([&] { return addr6(); }));
      case 10:
        return m.setStringArray(key, many([&] { return str(); }));
      case 11:
        return m.setRawArray(key, many([&] { return raw(); }));
      case 12:
        (void)m.setMessage(key, nested(depth - 1));
        return;
      default:
        (void)m.setMessageArray(key, many([&] { return nested(depth - 1); }));
    }
  }

  std::mt19937 rng_;
};

}  // namespace vl::testing
