// The text dump of a message for the logs, and the log sink it writes to.
#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>

#include "message/log.h"
#include "message/message.h"

namespace vl {
namespace {

LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

// A nested message is parsed for each level it is shown at, so hostile nesting could
// cost memory quadratic in its length and a deep stack; deeper levels are left out.
constexpr unsigned kMaxDumpDepth = 32;

constexpr const char* kHeader = "--- vl::message --------\n";

const char* typeLabel(Key key) {
  switch (key & kTypeMask) {
    case kTypeBool:
      return " bool [";
    case kTypeU32:
      return " u32 [";
    case kTypeU64:
      return " u64 [";
    case kTypeAddr6:
      return " addr6 [";
    case kTypeString:
      return " string [";
    case kTypeMessage:
      return " message [";
    case kTypeRaw:
      return " raw [";
    case kTypeBoolArray:
      return " bool[";
    case kTypeU32Array:
      return " u32[";
    case kTypeU64Array:
      return " u64[";
    case kTypeAddr6Array:
      return " addr6[";
    case kTypeStringArray:
      return " string[";
    case kTypeMessageArray:
      return " message[";
    case kTypeRawArray:
      return " raw[";
    default:
      return " ? [";
  }
}

// Raw bytes show as '#' and lower-case hex digits.
std::string rawText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "#";
  text.reserve(1 + bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string addr6Text(const Addr6& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, address.data(), text, sizeof text) == nullptr) return "?";
  return text;
}

std::string valueText(bool value) { return value ? "true" : "false"; }
std::string valueText(std::uint32_t value) { return std::to_string(value); }
std::string valueText(std::uint64_t value) { return std::to_string(value); }
std::string valueText(const Addr6& value) { return addr6Text(value); }
std::string valueText(const std::string& value) { return value; }
std::string valueText(const Bytes& value) { return rawText(value); }

void dumpAt(const message& msg, unsigned indent, unsigned depth);

class FieldDump {
 public:
  FieldDump(Key key, unsigned indent, unsigned depth) : key_(key), indent_(indent), depth_(depth) {}

  template <class T>
  void operator()(const T& value) const {
    line("]=", valueText(value));
  }

  // One Bytes alternative holds both raw values and nested messages.
  void operator()(const Bytes& value) const {
    if ((key_ & kTypeMask) != kTypeMessage) {
      line("]=", valueText(value));
      return;
    }
    line("]...", "");
    nested(value);
  }

  template <class T>
  void operator()(const std::vector<T>& values) const {
    list(values);
  }

  void operator()(const std::vector<Bytes>& values) const {
    if ((key_ & kTypeMask) != kTypeMessageArray) {
      list(values);
      return;
    }
    line("]..", "");
    for (const Bytes& flat : values) nested(flat);
  }

 private:
  // vector<bool> hands out proxies, hence the copy to T.
  template <class T>
  void list(const std::vector<T>& values) const {
    std::string text = "] [";
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) text += ", ";
      text += valueText(static_cast<T>(values[i]));
    }
    text += ']';
    line(text, "");
  }

  void line(std::string_view separator, std::string_view value) const {
    std::string text(2 * std::size_t{indent_}, ' ');
    text.append(typeLabel(key_)).append(keyName(key_)).append(separator).append(value);
    text += '\n';
    writeLog(text);
  }

  void nested(const Bytes& flat) const {
    if (depth_ + 1 >= kMaxDumpDepth) {
      std::string text(2 * std::size_t{indent_ + 1}, ' ');
      text.append("...\n");
      writeLog(text);
      return;
    }
    message inner;
    (void)unflatten(inner, flat);  // a damaged nested message shows what did parse
    dumpAt(inner, indent_ + 1, depth_ + 1);
  }

  Key key_;
  unsigned indent_;
  unsigned depth_;
};

void dumpAt(const message& msg, unsigned indent, unsigned depth) {
  writeLog(kHeader);
  for (const auto& [key, value] : msg.fields()) std::visit(FieldDump(key, indent, depth), value);
}

}  // namespace

void writeLog(std::string_view text) {
  const LogSink& sink = currentSink();
  if (sink) {
    sink(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

LogSink setLogSink(LogSink sink) {
  LogSink previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

void dumpMessage(const message& msg, unsigned indent) { dumpAt(msg, indent, 0); }

}  // namespace vl
