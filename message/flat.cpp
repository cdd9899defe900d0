// The flat encoding of a message: "M2", the arrays (SYS_TO, SYS_FROM, then the others),
// the bools, the u32s, then the other single values. Integers are little-endian.
#include <algorithm>
#include <optional>

#include "message/log.h"
#include "message/message.h"
#include "message/wire.h"

namespace vl {
namespace {

constexpr std::uint16_t kMagic = 0x324D;  // "M2"
constexpr Key kSysToKey = kTypeU32Array | SYS_TO;
constexpr Key kSysFromKey = kTypeU32Array | SYS_FROM;

using Size = std::optional<std::uint64_t>;

// A string, raw value or nested message after its key: a one-byte length below 256,
// otherwise a u16 length.
Size blobSize(std::size_t length) {
  if (length > kMaxFlatLength) return std::nullopt;
  return (length < 256 ? 1u : 2u) + std::uint64_t{length};
}

// The bytes after the key of one field; nothing when a length or count would not fit
// its 16 bits.
struct ValueSize {
  Size operator()(bool) const { return 0; }
  Size operator()(std::uint32_t value) const { return value < 256 ? 1 : 4; }
  Size operator()(std::uint64_t) const { return 8; }
  Size operator()(const Addr6&) const { return 16; }
  Size operator()(const std::string& value) const { return blobSize(value.size()); }
  Size operator()(const Bytes& value) const { return blobSize(value.size()); }

  template <class T>
  Size operator()(const std::vector<T>& values) const {
    if (values.size() > kMaxFlatLength) return std::nullopt;
    std::uint64_t total = 2;
    for (const T& value : values) {
      const Size element = elementSize(value);
      if (!element) return std::nullopt;
      total += *element;
    }
    return total;
  }

  static Size elementSize(bool) { return 1; }
  static Size elementSize(std::uint32_t) { return 4; }
  static Size elementSize(std::uint64_t) { return 8; }
  static Size elementSize(const Addr6&) { return 16; }
  template <class Blob>
  static Size elementSize(const Blob& value) {
    if (value.size() > kMaxFlatLength) return std::nullopt;
    return 2 + std::uint64_t{value.size()};
  }
};

// Writes one field, key included; its size has been checked by flatSize.
class FieldWriter {
 public:
  FieldWriter(wire::Writer& out, Key key) : out_(out), key_(key) {}

  void operator()(bool value) { out_.u32(key_ | (value ? kShortFormFlag : 0)); }
  void operator()(std::uint32_t value) {
    if (value < 256) {
      out_.u32(key_ | kShortFormFlag);
      out_.u8(static_cast<std::uint8_t>(value));
      return;
    }
    out_.u32(key_);
    out_.u32(value);
  }
  void operator()(std::uint64_t value) {
    out_.u32(key_);
    out_.u64(value);
  }
  void operator()(const Addr6& value) {
    out_.u32(key_);
    out_.bytes(value.data(), value.size());
  }
  void operator()(const std::string& value) { blob(value.data(), value.size()); }
  void operator()(const Bytes& value) { blob(value.data(), value.size()); }

  template <class T>
  void operator()(const std::vector<T>& values) {
    out_.u32(key_);
    out_.u16(static_cast<std::uint16_t>(values.size()));
    for (const auto& value : values) element(value);
  }

 private:
  void blob(const void* data, std::size_t size) {
    if (size < 256) {
      out_.u32(key_ | kShortFormFlag);
      out_.u8(static_cast<std::uint8_t>(size));
    } else {
      out_.u32(key_);
      out_.u16(static_cast<std::uint16_t>(size));
    }
    out_.bytes(data, size);
  }

  void element(bool value) { out_.u8(value ? 1 : 0); }
  void element(std::uint32_t value) { out_.u32(value); }
  void element(std::uint64_t value) { out_.u64(value); }
  void element(const Addr6& value) { out_.bytes(value.data(), value.size()); }
  template <class Blob>
  void element(const Blob& value) {
    out_.u16(static_cast<std::uint16_t>(value.size()));
    out_.bytes(value.data(), value.size());
  }

  wire::Writer& out_;
  Key key_;
};

void writeField(wire::Writer& out, Key key, const message::Value& value) {
  std::visit(FieldWriter(out, key), value);
}

void writeFields(const message& msg, wire::Writer& out) {
  const message::Fields& fields = msg.fields();
  out.u16(kMagic);
  for (Key key : {kSysToKey, kSysFromKey}) {
    auto it = fields.find(key);
    if (it != fields.end()) writeField(out, key, it->second);
  }
  // Stored keys sort by type tag: bools, u32s, other singles, then the arrays.
  const auto arrays = fields.lower_bound(kArrayFlag);
  for (auto it = arrays; it != fields.end(); ++it) {
    if (it->first != kSysToKey && it->first != kSysFromKey) writeField(out, it->first, it->second);
  }
  for (auto it = fields.begin(); it != arrays; ++it) writeField(out, it->first, it->second);
}

// Parses one value whose key has been read; false when the input ends first or the type
// tag is not one of ours.
class ValueReader {
 public:
  explicit ValueReader(wire::Reader& in) : in_(in) {}

  bool read(Key wireKey, message::Value& out) {
    const bool shortForm = (wireKey & kShortFormFlag) != 0;
    switch (wireKey & kTypeMask) {
      case kTypeBool:
        out.emplace<bool>(shortForm);
        return true;
      case kTypeU32:
        return shortForm ? number<std::uint8_t, std::uint32_t>(out)
                         : number<std::uint32_t, std::uint32_t>(out);
      case kTypeU64:
        return number<std::uint64_t, std::uint64_t>(out);
      case kTypeAddr6:
        return addr6(out.emplace<Addr6>());
      case kTypeString:
        return blob(shortForm, out.emplace<std::string>());
      case kTypeMessage:
      case kTypeRaw:
        return blob(shortForm, out.emplace<Bytes>());
      case kTypeBoolArray:
        return fixedArray(out.emplace<std::vector<bool>>(), 1);
      case kTypeU32Array:
        return fixedArray(out.emplace<std::vector<std::uint32_t>>(), 4);
      case kTypeU64Array:
        return fixedArray(out.emplace<std::vector<std::uint64_t>>(), 8);
      case kTypeAddr6Array:
        return fixedArray(out.emplace<std::vector<Addr6>>(), 16);
      case kTypeStringArray:
        return blobArray(out.emplace<std::vector<std::string>>());
      case kTypeMessageArray:
      case kTypeRawArray:
        return blobArray(out.emplace<std::vector<Bytes>>());
      default:
        return false;
    }
  }

 private:
  template <class Wire, class Stored>
  bool number(message::Value& out) {
    Wire value{};
    if (!get(value)) return false;
    out.emplace<Stored>(value);
    return true;
  }

  bool get(std::uint8_t& value) { return in_.u8(value); }
  bool get(std::uint32_t& value) { return in_.u32(value); }
  bool get(std::uint64_t& value) { return in_.u64(value); }
  bool get(bool& value) {
    std::uint8_t byte = 0;
    if (!in_.u8(byte)) return false;
    value = byte != 0;
    return true;
  }
  bool get(Addr6& value) { return addr6(value); }

  bool addr6(Addr6& value) {
    const std::uint8_t* p = nullptr;
    if (!in_.take(value.size(), p)) return false;
    std::copy(p, p + value.size(), value.begin());
    return true;
  }

  template <class Blob>
  bool blobBytes(std::size_t length, Blob& value) {
    const std::uint8_t* p = nullptr;
    if (!in_.take(length, p)) return false;
    value.assign(p, p + length);
    return true;
  }

  template <class Blob>
  bool blob(bool shortForm, Blob& value) {
    std::size_t length = 0;
    if (shortForm) {
      std::uint8_t byte = 0;
      if (!in_.u8(byte)) return false;
      length = byte;
    } else {
      std::uint16_t word = 0;
      if (!in_.u16(word)) return false;
      length = word;
    }
    return blobBytes(length, value);
  }

  // The whole array must be there before anything is allocated for it.
  template <class T>
  bool fixedArray(std::vector<T>& values, std::size_t elementSize) {
    std::uint16_t count = 0;
    if (!in_.u16(count)) return false;
    if (std::size_t{count} * elementSize > in_.left()) return false;
    values.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      T value{};
      if (!get(value)) return false;
      values[i] = value;
    }
    return true;
  }

  // Each element needs at least its u16 length, which bounds the count before reserving.
  template <class Blob>
  bool blobArray(std::vector<Blob>& values) {
    std::uint16_t count = 0;
    if (!in_.u16(count)) return false;
    if (std::size_t{count} * 2 > in_.left()) return false;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint16_t length = 0;
      if (!in_.u16(length)) return false;
      if (!blobBytes(length, values.emplace_back())) return false;
    }
    return true;
  }

  wire::Reader& in_;
};

bool parseFields(message::Fields& fields, Bytes& rawCopy, wire::Reader& in, bool recording) {
  ValueReader values(in);
  while (in.left() >= 4) {
    const std::uint8_t* start = in.position();
    Key key = 0;
    (void)in.u32(key);
    message::Value value;
    if (!values.read(key, value)) return false;
    if (recording && (key & kPassThroughFlag) != 0) {
      rawCopy.insert(rawCopy.end(), start, in.position());
      continue;
    }
    fields.insert_or_assign(key & ~kShortFormFlag, std::move(value));
  }
  return in.left() == 0;
}

bool parseInput(message::Fields& fields, Bytes& rawCopy, const std::uint8_t* bytes,
                std::size_t length, int mode) {
  if (mode != kUnflattenNormal && mode != kUnflattenRecording && mode != kUnflattenNoMagic) {
    return false;
  }
  if (length == 0) return true;
  wire::Reader in(bytes, length);
  if (mode != kUnflattenNoMagic) {
    std::uint16_t magic = 0;
    if (!in.u16(magic) || magic != kMagic) return false;
  }
  return parseFields(fields, rawCopy, in, mode == kUnflattenRecording);
}

}  // namespace

std::optional<std::uint32_t> flatSize(const message& msg) {
  std::uint64_t total = 2;
  for (const auto& [key, value] : msg.fields()) {
    const Size size = std::visit(ValueSize(), value);
    if (!size) return std::nullopt;
    total += 4 + *size;
  }
  if (total > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(total);
}

bool flatten(const message& msg, std::uint8_t* buffer, std::uint32_t& size) {
  const std::optional<std::uint32_t> needed = flatSize(msg);
  if (!needed) return false;
  if (*needed > size) {
    writeLog("WARNING: too small buffer for flatten\n");
    size = *needed;
    return false;
  }
  wire::Writer out(buffer);
  writeFields(msg, out);
  size = static_cast<std::uint32_t>(out.position() - buffer);
  return true;
}

bool flatten(const message& msg, Bytes& out) {
  const std::optional<std::uint32_t> needed = flatSize(msg);
  if (!needed) return false;
  const std::size_t start = out.size();
  out.resize(start + *needed);
  wire::Writer writer(out.data() + start);
  writeFields(msg, writer);
  out.resize(static_cast<std::size_t>(writer.position() - out.data()));
  return true;
}

bool unflatten(message& msg, const std::uint8_t* bytes, std::size_t length, int mode) {
  // Parsed apart and swapped in at the end: the input may be msg's own raw copy.
  message::Fields fields;
  Bytes rawCopy;
  const bool parsed = parseInput(fields, rawCopy, bytes, length, mode);
  rawCopy.shrink_to_fit();
  msg.fields_.swap(fields);
  msg.rawCopy_.swap(rawCopy);
  return parsed;
}

}  // namespace vl
