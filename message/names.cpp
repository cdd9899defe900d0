// Names and texts of keys, values and error codes, as the logs show them.
#include <cstdio>
#include <cstring>
#include <span>

#include "message/message.h"

namespace vl {
namespace {

struct Name {
  std::uint32_t value;
  const char* name;
};

constexpr Name kKeyNames[] = {
    {SYS_TO, "SYS_TO"},
    {SYS_FROM, "SYS_FROM"},
    {SYS_TYPE, "SYS_TYPE"},
    {SYS_STATUS, "SYS_STATUS"},
    {SYS_REPLYEXP, "SYS_REPLYEXP"},
    {SYS_REQID, "SYS_REQID"},
    {SYS_CMD, "SYS_CMD"},
    {SYS_ERRNO, "SYS_ERRNO"},
    {SYS_ERRSTR, "SYS_ERRSTR"},
    {SYS_USER, "SYS_USER"},
    {SYS_POLICY, "SYS_POLICY"},
    {SYS_CTRL, "SYS_CTRL"},
    {SYS_CTRL_ARG, "SYS_CTRL_ARG"},
    {SYS_USER_ID, "SYS_USER_ID"},
    {SYS_NOTIFYCMD, "SYS_NOTIFYCMD"},
    {SYS_ORIGINATOR, "SYS_ORIGINATOR"},
    {SYS_RADDR6, "SYS_RADDR6"},
    {SYS_DREASON, "SYS_DREASON"},
    {STD_ID, "STD_ID"},
    {STD_OBJS, "STD_OBJS"},
    {STD_GETALLID, "STD_GETALLID"},
    {STD_GETALLNO, "STD_GETALLNO"},
    {STD_NEXTID, "STD_NEXTID"},
    {STD_UNDOID, "STD_UNDOID"},
    {STD_DYNAMIC, "STD_DYNAMIC"},
    {STD_INACTIVE, "STD_INACTIVE"},
    {STD_DESCR, "STD_DESCR"},
    {STD_DISABLED, "STD_DISABLED"},
    {STD_FINISHED, "STD_FINISHED"},
    {STD_FILTER, "STD_FILTER"},
    {STD_PRESET, "STD_PRESET"},
    {STD_PAGENO, "STD_PAGENO"},
    {STD_PAGE, "STD_PAGE"},
    {STD_NAME, "STD_NAME"},
    {STD_INTERVAL, "STD_INTERVAL"},
    {STD_VERSION, "STD_VERSION"},
    {STD_DEAD, "STD_DEAD"},
    {STD_COUNT, "STD_COUNT"},
    {STD_GETALL_COOKIE, "STD_GETALL_COOKIE"},
    {STD_QUERY, "STD_QUERY"},
    {STD_QUERY_OP, "STD_QUERY_OP"},
    {STD_MAXOBJS, "STD_MAXOBJS"},
    {STD_OBJ_COUNT, "STD_OBJ_COUNT"},
    {STD_CLASS, "STD_CLASS"},
    {STD_SNMP_QUERY, "STD_SNMP_QUERY"},
};

constexpr Name kTypeNames[] = {{TYPE_REQUEST, "TYPE_REQUEST"}, {TYPE_REPLY, "TYPE_REPLY"}};
constexpr Name kStatusNames[] = {{STATUS_OK, "STATUS_OK"}, {STATUS_ERROR, "STATUS_ERROR"}};
constexpr Name kDreasonNames[] = {{DREASON_DISCONNECTED, "DREASON_DISCONNECTED"},
                                  {DREASON_CRASHED, "DREASON_CRASHED"}};

constexpr Name kCommandNames[] = {
    {CMD_NOOP, "CMD_NOOP"},
    {CMD_GETPOLICIES, "CMD_GETPOLICIES"},
    {CMD_GETOBJ, "CMD_GETOBJ"},
    {CMD_SETOBJ, "CMD_SETOBJ"},
    {CMD_GETALL, "CMD_GETALL"},
    {CMD_ADDOBJ, "CMD_ADDOBJ"},
    {CMD_REMOVEOBJ, "CMD_REMOVEOBJ"},
    {CMD_MOVEOBJ, "CMD_MOVEOBJ"},
    {CMD_SETFORM, "CMD_SETFORM"},
    {CMD_NOTIFY, "CMD_NOTIFY"},
    {CMD_GET, "CMD_GET"},
    {CMD_SET, "CMD_SET"},
    {CMD_START, "CMD_START"},
    {CMD_POLL, "CMD_POLL"},
    {CMD_CANCEL, "CMD_CANCEL"},
    {CMD_SUBSCRIBE, "CMD_SUBSCRIBE"},
    {CMD_UNSUBSCRIBE, "CMD_UNSUBSCRIBE"},
    {CMD_DISCONNECTED, "CMD_DISCONNECTED"},
    {CMD_GETCOUNT, "CMD_GETCOUNT"},
    {CMD_RESET, "CMD_RESET"},
};

constexpr Name kErrorNames[] = {
    {ERROR_OK, "ERROR_OK"},
    {ERROR_UNKNOWN, "ERROR_UNKNOWN"},
    {ERROR_BRKPATH, "ERROR_BRKPATH"},
    {ERROR_NOTIMP, "ERROR_NOTIMP"},
    {ERROR_UNKNOWNID, "ERROR_UNKNOWNID"},
    {ERROR_MISSING, "ERROR_MISSING"},
    {ERROR_FAILED, "ERROR_FAILED"},
    {ERROR_EXISTS, "ERROR_EXISTS"},
    {ERROR_NOTALLOWED, "ERROR_NOTALLOWED"},
    {ERROR_TOOBIG, "ERROR_TOOBIG"},
    {ERROR_UNKNOWNNEXTID, "ERROR_UNKNOWNNEXTID"},
    {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_TIMEOUT, "ERROR_TIMEOUT"},
    {ERROR_TOOMUCH, "ERROR_TOOMUCH"},
};

// The texts of the std error numbers 0 to 14; 8 has no code of its own.
constexpr const char* kStdErrorTexts[] = {
    "no error",   "unknown error",  "broken path",     "not implemented",
    "unknown id", "missing fields", "failed",          "already exists",
    "???",        "not allowed",    "message too big", "unknown next id",
    "busy",       "timeout",        "too much",
};

constexpr std::size_t kNameBufferSize = 80;

const char* lookup(std::span<const Name> names, std::uint32_t value) {
  for (const Name& entry : names) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

// The value names that belong to a key; empty for keys whose values have none.
std::span<const Name> valueNamesOf(Key key) {
  switch (key & kIdMask) {
    case SYS_TYPE:
      return kTypeNames;
    case SYS_STATUS:
      return kStatusNames;
    case SYS_DREASON:
      return kDreasonNames;
    case SYS_CMD:
      return kCommandNames;
    case SYS_ERRNO:
      return kErrorNames;
    default:
      return {};
  }
}

// The service namespaces have no prefixes here, so only the runtime's own have one.
const char* namespacePrefix(std::uint32_t space) {
  switch (space) {
    case 0xFE0000:
      return "std::";
    case 0xFF0000:
      return "sys::";
    case 0xFD0000:
      return "local::";
    case 0x000000:
      return "";
    default:
      return nullptr;
  }
}

const char* scopeWord(std::uint32_t space) {
  switch (space) {
    case 0xFD0000:
      return "local";
    case 0x000000:
      return "global";
    case 0xFE0000:
      return "std";
    case 0xFF0000:
      return "sys";
    default:
      return "undefined";
  }
}

std::string format(const char* pattern, int value) {
  char text[32];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

const char* keyName(Key key) {
  static char buffer[kNameBufferSize];
  if (const char* name = lookup(kKeyNames, key & kIdMask)) {
    std::snprintf(buffer, sizeof buffer, "%s", name);
    return buffer;
  }
  const std::uint32_t space = key & kNamespaceMask;
  const int number = static_cast<int>(key & 0xFFFF);
  if (const char* prefix = namespacePrefix(space)) {
    std::snprintf(buffer, sizeof buffer, "%s%d", prefix, number);
  } else {
    std::snprintf(buffer, sizeof buffer, "%d::%d", static_cast<int>(space), number);
  }
  return buffer;
}

const char* valueName(Key key, std::uint32_t value) {
  static char buffer[kNameBufferSize];
  if (const char* name = lookup(valueNamesOf(key), value)) {
    std::snprintf(buffer, sizeof buffer, "%s", name);
    return buffer;
  }
  const int number = static_cast<int>(value);
  std::snprintf(buffer, sizeof buffer, "%d 0x%x %s", number, value, std::strerror(number));
  return buffer;
}

std::string errorText(std::uint32_t code, std::string_view text) {
  const int number = static_cast<int>(code & 0xFFFF);
  if (!text.empty()) return std::string(text) + format(" (%d)", number);
  if (code == ERROR_OK) return "ok";
  const std::uint32_t space = code & kNamespaceMask;
  std::string result = std::string(scopeWord(space)) + " failure:";
  if (space == 0xFE0000 && number < static_cast<int>(std::size(kStdErrorTexts))) {
    return result + " " + kStdErrorTexts[number] + format(" (%d)", number);
  }
  return result + format(" %d", number);
}

void makeErrorReply(message& msg, std::uint32_t code, std::string_view text) {
  msg.setU32(SYS_STATUS, STATUS_ERROR);
  msg.setU32(SYS_ERRNO, code);
  if (!text.empty()) msg.setString(SYS_ERRSTR, text);
}

}  // namespace vl
