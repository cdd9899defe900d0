// Little-endian byte access for the flat encoding, written byte by byte so that the
// encoding is the same on the big-endian boards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vl::wire {

// Writes into a buffer whose size the caller has already checked.
class Writer {
 public:
  explicit Writer(std::uint8_t* out) : out_(out) {}

  void u8(std::uint8_t value) { *out_++ = value; }
  void u16(std::uint16_t value) {
    u8(static_cast<std::uint8_t>(value));
    u8(static_cast<std::uint8_t>(value >> 8));
  }
  void u32(std::uint32_t value) {
    u16(static_cast<std::uint16_t>(value));
    u16(static_cast<std::uint16_t>(value >> 16));
  }
  void u64(std::uint64_t value) {
    u32(static_cast<std::uint32_t>(value));
    u32(static_cast<std::uint32_t>(value >> 32));
  }
  void bytes(const void* data, std::size_t size) {
    if (size == 0) return;
    std::memcpy(out_, data, size);
    out_ += size;
  }
  std::uint8_t* position() const { return out_; }

 private:
  std::uint8_t* out_;
};

// Reads from untrusted input: every read checks what is left and fails without moving.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

  std::size_t left() const { return left_; }
  const std::uint8_t* position() const { return data_; }

  bool take(std::size_t size, const std::uint8_t*& out) {
    if (size > left_) return false;
    out = data_;
    data_ += size;
    left_ -= size;
    return true;
  }
  bool u8(std::uint8_t& value) {
    const std::uint8_t* p = nullptr;
    if (!take(1, p)) return false;
    value = p[0];
    return true;
  }
  bool u16(std::uint16_t& value) {
    const std::uint8_t* p = nullptr;
    if (!take(2, p)) return false;
    value = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    return true;
  }
  bool u32(std::uint32_t& value) {
    const std::uint8_t* p = nullptr;
    if (!take(4, p)) return false;
    value = load32(p);
    return true;
  }
  bool u64(std::uint64_t& value) {
    const std::uint8_t* p = nullptr;
    if (!take(8, p)) return false;
    value = load32(p) | (std::uint64_t{load32(p + 4)} << 32);
    return true;
  }

 private:
  static std::uint32_t load32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
  }

  const std::uint8_t* data_;
  std::size_t left_;
};

}  // namespace vl::wire
