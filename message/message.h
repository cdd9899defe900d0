// vl::message: the runtime's typed key-value message and its flat encoding, in which
// messages travel between services over local sockets and are kept in the message store.
//
// A key is 32 bits: the type tag (bits 31-27: array flag and base type), bit 25 the
// pass-through flag, bits 23-16 the namespace and bits 15-0 the number. Bit 24 exists only
// on the wire (short form, or a bool's value) and is never part of a stored key. The typed
// accessors take a key with or without its type tag and put their own tag in place, so
// setU32(STD_ID, 5) and setU32(0x08FE0001, 5) name the same field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vl {

using Key = std::uint32_t;
using Addr6 = std::array<std::uint8_t, 16>;
using Bytes = std::vector<std::uint8_t>;

inline constexpr Key kTypeMask = 0xF8000000;
inline constexpr Key kArrayFlag = 0x80000000;
inline constexpr Key kPassThroughFlag = 0x02000000;
inline constexpr Key kShortFormFlag = 0x01000000;
inline constexpr Key kIdMask = 0x00FFFFFF;
inline constexpr Key kNamespaceMask = 0x00FF0000;

// Type tags, key AND kTypeMask.
inline constexpr Key kTypeBool = 0x00000000;
inline constexpr Key kTypeU32 = 0x08000000;
inline constexpr Key kTypeU64 = 0x10000000;
inline constexpr Key kTypeAddr6 = 0x18000000;
inline constexpr Key kTypeString = 0x20000000;
inline constexpr Key kTypeMessage = 0x28000000;
inline constexpr Key kTypeRaw = 0x30000000;
inline constexpr Key kTypeBoolArray = kArrayFlag | kTypeBool;
inline constexpr Key kTypeU32Array = kArrayFlag | kTypeU32;
inline constexpr Key kTypeU64Array = kArrayFlag | kTypeU64;
inline constexpr Key kTypeAddr6Array = kArrayFlag | kTypeAddr6;
inline constexpr Key kTypeStringArray = kArrayFlag | kTypeString;
inline constexpr Key kTypeMessageArray = kArrayFlag | kTypeMessage;
inline constexpr Key kTypeRawArray = kArrayFlag | kTypeRaw;

// Well-known ids (namespace and number); the accessors add the type tag.
inline constexpr Key SYS_TO = 0xFF0001;    // u32 array: destination path
inline constexpr Key SYS_FROM = 0xFF0002;  // u32 array: source path
inline constexpr Key SYS_TYPE = 0xFF0003;
inline constexpr Key SYS_STATUS = 0xFF0004;
inline constexpr Key SYS_REPLYEXP = 0xFF0005;
inline constexpr Key SYS_REQID = 0xFF0006;
inline constexpr Key SYS_CMD = 0xFF0007;
inline constexpr Key SYS_ERRNO = 0xFF0008;
inline constexpr Key SYS_ERRSTR = 0xFF0009;
inline constexpr Key SYS_USER = 0xFF000A;
inline constexpr Key SYS_POLICY = 0xFF000B;
inline constexpr Key SYS_CTRL = 0xFF000D;
inline constexpr Key SYS_CTRL_ARG = 0xFF000F;
inline constexpr Key SYS_USER_ID = 0xFF0010;
inline constexpr Key SYS_NOTIFYCMD = 0xFF0011;
inline constexpr Key SYS_ORIGINATOR = 0xFF0012;
inline constexpr Key SYS_RADDR6 = 0xFF0013;
inline constexpr Key SYS_DREASON = 0xFF0016;

inline constexpr Key STD_ID = 0xFE0001;
inline constexpr Key STD_OBJS = 0xFE0002;
inline constexpr Key STD_GETALLID = 0xFE0003;
inline constexpr Key STD_GETALLNO = 0xFE0004;
inline constexpr Key STD_NEXTID = 0xFE0005;
inline constexpr Key STD_UNDOID = 0xFE0006;
inline constexpr Key STD_DYNAMIC = 0xFE0007;
inline constexpr Key STD_INACTIVE = 0xFE0008;
inline constexpr Key STD_DESCR = 0xFE0009;
inline constexpr Key STD_DISABLED = 0xFE000A;
inline constexpr Key STD_FINISHED = 0xFE000B;
inline constexpr Key STD_FILTER = 0xFE000C;
inline constexpr Key STD_PRESET = 0xFE000D;
inline constexpr Key STD_PAGENO = 0xFE000E;
inline constexpr Key STD_PAGE = 0xFE000F;
inline constexpr Key STD_NAME = 0xFE0010;
inline constexpr Key STD_INTERVAL = 0xFE0011;
inline constexpr Key STD_VERSION = 0xFE0012;
inline constexpr Key STD_DEAD = 0xFE0013;
inline constexpr Key STD_COUNT = 0xFE0014;
inline constexpr Key STD_GETALL_COOKIE = 0xFE0015;
inline constexpr Key STD_QUERY = 0xFE0016;
inline constexpr Key STD_QUERY_OP = 0xFE0017;
inline constexpr Key STD_MAXOBJS = 0xFE0018;
inline constexpr Key STD_OBJ_COUNT = 0xFE0019;
inline constexpr Key STD_CLASS = 0xFE001A;
inline constexpr Key STD_SNMP_QUERY = 0xFE001B;

// Values of SYS_TYPE, SYS_STATUS and SYS_DREASON.
inline constexpr std::uint32_t TYPE_REQUEST = 1;
inline constexpr std::uint32_t TYPE_REPLY = 2;
inline constexpr std::uint32_t STATUS_OK = 1;
inline constexpr std::uint32_t STATUS_ERROR = 2;
inline constexpr std::uint32_t DREASON_DISCONNECTED = 0;
inline constexpr std::uint32_t DREASON_CRASHED = 1;

// Commands, the values of SYS_CMD.
inline constexpr std::uint32_t CMD_NOOP = 0xFE0000;
inline constexpr std::uint32_t CMD_GETPOLICIES = 0xFE0001;
inline constexpr std::uint32_t CMD_GETOBJ = 0xFE0002;
inline constexpr std::uint32_t CMD_SETOBJ = 0xFE0003;
inline constexpr std::uint32_t CMD_GETALL = 0xFE0004;
inline constexpr std::uint32_t CMD_ADDOBJ = 0xFE0005;
inline constexpr std::uint32_t CMD_REMOVEOBJ = 0xFE0006;
inline constexpr std::uint32_t CMD_MOVEOBJ = 0xFE0007;
inline constexpr std::uint32_t CMD_SETFORM = 0xFE0008;
inline constexpr std::uint32_t CMD_NOTIFY = 0xFE000B;
inline constexpr std::uint32_t CMD_GET = 0xFE000D;
inline constexpr std::uint32_t CMD_SET = 0xFE000E;
inline constexpr std::uint32_t CMD_START = 0xFE000F;
inline constexpr std::uint32_t CMD_POLL = 0xFE0010;
inline constexpr std::uint32_t CMD_CANCEL = 0xFE0011;
inline constexpr std::uint32_t CMD_SUBSCRIBE = 0xFE0012;
inline constexpr std::uint32_t CMD_UNSUBSCRIBE = 0xFE0013;
inline constexpr std::uint32_t CMD_DISCONNECTED = 0xFE0014;
inline constexpr std::uint32_t CMD_GETCOUNT = 0xFE0015;
inline constexpr std::uint32_t CMD_RESET = 0xFE0016;

// Error codes, the values of SYS_ERRNO.
inline constexpr std::uint32_t ERROR_OK = 0;
inline constexpr std::uint32_t ERROR_UNKNOWN = 0xFE0001;
inline constexpr std::uint32_t ERROR_BRKPATH = 0xFE0002;
inline constexpr std::uint32_t ERROR_NOTIMP = 0xFE0003;
inline constexpr std::uint32_t ERROR_UNKNOWNID = 0xFE0004;
inline constexpr std::uint32_t ERROR_MISSING = 0xFE0005;
inline constexpr std::uint32_t ERROR_FAILED = 0xFE0006;
inline constexpr std::uint32_t ERROR_EXISTS = 0xFE0007;
inline constexpr std::uint32_t ERROR_NOTALLOWED = 0xFE0009;
inline constexpr std::uint32_t ERROR_TOOBIG = 0xFE000A;
inline constexpr std::uint32_t ERROR_UNKNOWNNEXTID = 0xFE000B;
inline constexpr std::uint32_t ERROR_BUSY = 0xFE000C;
inline constexpr std::uint32_t ERROR_TIMEOUT = 0xFE000D;
inline constexpr std::uint32_t ERROR_TOOMUCH = 0xFE000E;

// The flat encoding's lengths and counts are 16-bit.
inline constexpr std::size_t kMaxFlatLength = 0xFFFF;

class message {
 public:
  // The stored value of one field; the alternative follows from the key's type tag
  // (string: std::string; message and raw: Bytes, a message as its flat encoding).
  using Value =
      std::variant<bool, std::uint32_t, std::uint64_t, Addr6, std::string, Bytes, std::vector<bool>,
                   std::vector<std::uint32_t>, std::vector<std::uint64_t>, std::vector<Addr6>,
                   std::vector<std::string>, std::vector<Bytes>>;
  using Fields = std::map<Key, Value>;

  // Singles. Each get returns the fallback when the field is absent; each remove tells
  // whether there was a field to remove.
  void setBool(Key key, bool value) { put(kTypeBool, key, value); }
  bool getBool(Key key, bool fallback = false) const { return pick(kTypeBool, key, fallback); }
  bool hasBool(Key key) const { return has(kTypeBool, key); }
  bool removeBool(Key key) { return remove(kTypeBool, key); }

  void setU32(Key key, std::uint32_t value) { put(kTypeU32, key, value); }
  std::uint32_t getU32(Key key, std::uint32_t fallback = 0) const {
    return pick(kTypeU32, key, fallback);
  }
  bool hasU32(Key key) const { return has(kTypeU32, key); }
  bool removeU32(Key key) { return remove(kTypeU32, key); }

  void setU64(Key key, std::uint64_t value) { put(kTypeU64, key, value); }
  std::uint64_t getU64(Key key, std::uint64_t fallback = 0) const {
    return pick(kTypeU64, key, fallback);
  }
  bool hasU64(Key key) const { return has(kTypeU64, key); }
  bool removeU64(Key key) { return remove(kTypeU64, key); }

  void setAddr6(Key key, const Addr6& value) { put(kTypeAddr6, key, value); }
  Addr6 getAddr6(Key key, const Addr6& fallback = {}) const {
    return pick(kTypeAddr6, key, fallback);
  }
  bool hasAddr6(Key key) const { return has(kTypeAddr6, key); }
  bool removeAddr6(Key key) { return remove(kTypeAddr6, key); }

  void setString(Key key, std::string_view value) { put(kTypeString, key, std::string(value)); }
  std::string getString(Key key, std::string_view fallback = {}) const;
  bool hasString(Key key) const { return has(kTypeString, key); }
  bool removeString(Key key) { return remove(kTypeString, key); }

  void setRaw(Key key, Bytes value) { put(kTypeRaw, key, std::move(value)); }
  Bytes getRaw(Key key, const Bytes& fallback = {}) const { return pick(kTypeRaw, key, fallback); }
  bool hasRaw(Key key) const { return has(kTypeRaw, key); }
  bool removeRaw(Key key) { return remove(kTypeRaw, key); }

  // A nested message is kept as its flat encoding. Setting fails, and changes nothing,
  // when the value cannot be encoded (see flatSize). Reading parses it; the fallback is
  // returned when the field is absent or does not parse.
  [[nodiscard]] bool setMessage(Key key, const message& value);
  message getMessage(Key key) const;
  message getMessage(Key key, const message& fallback) const;
  bool hasMessage(Key key) const { return has(kTypeMessage, key); }
  bool removeMessage(Key key) { return remove(kTypeMessage, key); }

  // Arrays are read and replaced whole.
  void setBoolArray(Key key, std::vector<bool> values) {
    put(kTypeBoolArray, key, std::move(values));
  }
  std::vector<bool> getBoolArray(Key key, const std::vector<bool>& fallback = {}) const {
    return pick(kTypeBoolArray, key, fallback);
  }
  bool hasBoolArray(Key key) const { return has(kTypeBoolArray, key); }
  bool removeBoolArray(Key key) { return remove(kTypeBoolArray, key); }

  void setU32Array(Key key, std::vector<std::uint32_t> values) {
    put(kTypeU32Array, key, std::move(values));
  }
  std::vector<std::uint32_t> getU32Array(Key key,
                                         const std::vector<std::uint32_t>& fallback = {}) const {
    return pick(kTypeU32Array, key, fallback);
  }
  bool hasU32Array(Key key) const { return has(kTypeU32Array, key); }
  bool removeU32Array(Key key) { return remove(kTypeU32Array, key); }

  void setU64Array(Key key, std::vector<std::uint64_t> values) {
    put(kTypeU64Array, key, std::move(values));
  }
  std::vector<std::uint64_t> getU64Array(Key key,
                                         const std::vector<std::uint64_t>& fallback = {}) const {
    return pick(kTypeU64Array, key, fallback);
  }
  bool hasU64Array(Key key) const { return has(kTypeU64Array, key); }
  bool removeU64Array(Key key) { return remove(kTypeU64Array, key); }

  void setAddr6Array(Key key, std::vector<Addr6> values) {
    put(kTypeAddr6Array, key, std::move(values));
  }
  std::vector<Addr6> getAddr6Array(Key key, const std::vector<Addr6>& fallback = {}) const {
    return pick(kTypeAddr6Array, key, fallback);
  }
  bool hasAddr6Array(Key key) const { return has(kTypeAddr6Array, key); }
  bool removeAddr6Array(Key key) { return remove(kTypeAddr6Array, key); }

  void setStringArray(Key key, std::vector<std::string> values) {
    put(kTypeStringArray, key, std::move(values));
  }
  std::vector<std::string> getStringArray(Key key,
                                          const std::vector<std::string>& fallback = {}) const {
    return pick(kTypeStringArray, key, fallback);
  }
  bool hasStringArray(Key key) const { return has(kTypeStringArray, key); }
  bool removeStringArray(Key key) { return remove(kTypeStringArray, key); }

  // Fails, changing nothing, when an element cannot be encoded. Reading gives the
  // fallback when the field is absent or any element does not parse.
  [[nodiscard]] bool setMessageArray(Key key, const std::vector<message>& values);
  std::vector<message> getMessageArray(Key key, const std::vector<message>& fallback = {}) const;
  bool hasMessageArray(Key key) const { return has(kTypeMessageArray, key); }
  bool removeMessageArray(Key key) { return remove(kTypeMessageArray, key); }

  void setRawArray(Key key, std::vector<Bytes> values) {
    put(kTypeRawArray, key, std::move(values));
  }
  std::vector<Bytes> getRawArray(Key key, const std::vector<Bytes>& fallback = {}) const {
    return pick(kTypeRawArray, key, fallback);
  }
  bool hasRawArray(Key key) const { return has(kTypeRawArray, key); }
  bool removeRawArray(Key key) { return remove(kTypeRawArray, key); }

  // Every field by its stored key, in key order.
  const Fields& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  void clear();

  // The pass-through fields that the last recording parse copied, each as its key and
  // value bytes exactly as they arrived. Empty after any other parse.
  const Bytes& rawCopy() const { return rawCopy_; }

  bool operator==(const message& other) const = default;

 private:
  friend bool unflatten(message&, const std::uint8_t*, std::size_t, int);

  static Key storedKey(Key tag, Key key) { return tag | (key & ~(kTypeMask | kShortFormFlag)); }

  template <class T>
  void put(Key tag, Key key, T value) {
    fields_.insert_or_assign(storedKey(tag, key), Value(std::in_place_type<T>, std::move(value)));
  }

  template <class T>
  T pick(Key tag, Key key, const T& fallback) const {
    auto it = fields_.find(storedKey(tag, key));
    if (it == fields_.end()) return fallback;
    return std::get<T>(it->second);
  }

  bool has(Key tag, Key key) const { return fields_.count(storedKey(tag, key)) != 0; }
  bool remove(Key tag, Key key) { return fields_.erase(storedKey(tag, key)) != 0; }

  Fields fields_;
  Bytes rawCopy_;
};

// Parse modes of unflatten.
inline constexpr int kUnflattenNormal = 0;
inline constexpr int kUnflattenRecording = 1;  // pass-through fields go to rawCopy()
inline constexpr int kUnflattenNoMagic = 2;    // the input starts with the first field

// The exact length of the flat encoding; nothing when the message cannot be encoded (a
// string, raw value or nested message over 65535 bytes, or an array of more than 65535
// elements), since the 16-bit lengths would wrap and corrupt the stream.
[[nodiscard]] std::optional<std::uint32_t> flatSize(const message& msg);

// Writes the flat encoding into buffer and sets size (the buffer's capacity on entry) to
// the bytes written. A buffer too small for the encoding logs
// "WARNING: too small buffer for flatten", receives nothing, and size is set to the full
// length that is needed. A message that cannot be encoded gives false with size and
// buffer untouched.
[[nodiscard]] bool flatten(const message& msg, std::uint8_t* buffer, std::uint32_t& size);

// Appends the flat encoding to out; false, with out untouched, when it cannot be encoded.
[[nodiscard]] bool flatten(const message& msg, Bytes& out);

// Replaces msg's contents with the parsed input. On failure msg keeps the fields parsed
// so far. A key that occurs twice keeps its last value.
[[nodiscard]] bool unflatten(message& msg, const std::uint8_t* bytes, std::size_t length,
                             int mode = kUnflattenNormal);
[[nodiscard]] inline bool unflatten(message& msg, const Bytes& bytes, int mode = kUnflattenNormal) {
  return unflatten(msg, bytes.data(), bytes.size(), mode);
}

// Names for logs, in static 80-byte buffers (one per function) that the next call
// overwrites.
const char* keyName(Key key);
const char* valueName(Key key, std::uint32_t value);

// The human description of an error code, or the text with the code when there is a text.
std::string errorText(std::uint32_t code, std::string_view text);

// Turns msg into an error reply: SYS_STATUS = STATUS_ERROR, SYS_ERRNO = code and, when the
// text is not empty, SYS_ERRSTR = text.
void makeErrorReply(message& msg, std::uint32_t code, std::string_view text);

// Where the library's log text goes: whole lines, each with its "\n". Standard output
// unless replaced; setLogSink returns the sink it replaces (an empty sink restores
// standard output).
using LogSink = std::function<void(std::string_view)>;
LogSink setLogSink(LogSink sink);

// Writes msg as text to the log, its field lines indented by `indent` levels.
void dumpMessage(const message& msg, unsigned indent = 0);

}  // namespace vl
