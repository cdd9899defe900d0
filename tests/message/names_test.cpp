// Key names, value names and error texts, byte for byte as the logs show them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "message/message.h"

namespace vl {
namespace {

struct KeyNameCase {
  Key key;
  const char* name;
};

TEST(KeyName, WellKnownIdsAndNamespaces) {
  const KeyNameCase cases[] = {
      {0x08FE0010, "STD_NAME"},
      {0xFE0010, "STD_NAME"},
      {0x88FF0001, "SYS_TO"},
      {0x8AFF0002, "SYS_FROM"},  // pass-through flag and type do not change the name
      {0x20FF0009, "SYS_ERRSTR"},
      {0xFF0016, "SYS_DREASON"},
      {0xFE001B, "STD_SNMP_QUERY"},
      {0xFE001C, "std::28"},
      {0x08FE0100, "std::256"},
      {0xFEFFFF, "std::65535"},
      {0xFF000C, "sys::12"},
      {0xFF0000, "sys::0"},
      {0xFD0007, "local::7"},
      {0x000009, "9"},
      {0x28000000, "0"},
      {0x120005, "1179648::5"},
      {0x01FC0002, "16515072::2"},
  };
  for (const KeyNameCase& c : cases) EXPECT_STREQ(keyName(c.key), c.name) << std::hex << c.key;
}

struct ValueNameCase {
  Key key;
  std::uint32_t value;
  const char* name;  // nullptr: the numeric form with the system's error text
};

TEST(ValueName, NamedValuesAndTheNumericForm) {
  const ValueNameCase cases[] = {
      {SYS_TYPE, 1, "TYPE_REQUEST"},
      {0x08FF0003, 2, "TYPE_REPLY"},
      {SYS_TYPE, 3, nullptr},
      {SYS_STATUS, 1, "STATUS_OK"},
      {SYS_STATUS, 2, "STATUS_ERROR"},
      {SYS_DREASON, 0, "DREASON_DISCONNECTED"},
      {SYS_DREASON, 1, "DREASON_CRASHED"},
      {SYS_CMD, 0xFE0000, "CMD_NOOP"},
      {SYS_CMD, 0xFE0004, "CMD_GETALL"},
      {SYS_CMD, 0xFE0016, "CMD_RESET"},
      {SYS_CMD, 0xFE0009, nullptr},
      {SYS_CMD, 0xFE000A, nullptr},
      {SYS_CMD, 0xFE000C, nullptr},
      {SYS_ERRNO, 0, "ERROR_OK"},
      {SYS_ERRNO, 0xFE0009, "ERROR_NOTALLOWED"},
      {SYS_ERRNO, 0xFE000E, "ERROR_TOOMUCH"},
      {SYS_ERRNO, 0xFE0008, nullptr},
      {SYS_ERRNO, 2, nullptr},
      {STD_ID, 1, nullptr},
      {STD_ID, 0xFFFFFFFF, nullptr},
  };
  for (const ValueNameCase& c : cases) {
    std::string expected;
    if (c.name != nullptr) {
      expected = c.name;
    } else {
      const int number = static_cast<int>(c.value);
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", c.value);
      expected = std::to_string(number) + " 0x" + hex + " " + std::strerror(number);
    }
    EXPECT_EQ(valueName(c.key, c.value), expected) << std::hex << c.key << " " << c.value;
  }
}

// printf("%s=%s", keyName(k), valueName(k, v)) must show both.
TEST(ValueName, DoesNotOverwriteTheKeyName) {
  const char* key = keyName(SYS_CMD);
  const char* value = valueName(SYS_CMD, CMD_GET);
  EXPECT_STREQ(key, "SYS_CMD");
  EXPECT_STREQ(value, "CMD_GET");
}

struct ErrorTextCase {
  std::uint32_t code;
  const char* text;
  const char* expected;
};

TEST(ErrorText, ScopesNumbersAndTexts) {
  const ErrorTextCase cases[] = {
      {0xFE0002, "", "std failure: broken path (2)"},
      {0xFF0005, "", "sys failure: 5"},
      {0xFE0008, "", "std failure: ??? (8)"},
      {0xFE0000, "", "std failure: no error (0)"},
      {0xFE000E, "", "std failure: too much (14)"},
      {0xFE000F, "", "std failure: 15"},
      {0xFD0003, "", "local failure: 3"},
      {0x000007, "", "global failure: 7"},
      {0x420001, "", "undefined failure: 1"},
      {0, "", "ok"},
      {0xFE000C, "busy", "busy (12)"},
      {0x420001, "busy", "busy (1)"},
      {0x1234ABCD, "link down", "link down (43981)"},
      {0, "busy", "busy (0)"},
  };
  for (const ErrorTextCase& c : cases) {
    EXPECT_EQ(errorText(c.code, c.text), c.expected) << std::hex << c.code << " " << c.text;
  }
}

TEST(MakeErrorReply, SetsStatusCodeAndOnlyANonEmptyText) {
  message reply;
  reply.setU32(SYS_REQID, 4);
  makeErrorReply(reply, ERROR_BUSY, "");
  EXPECT_EQ(reply.getU32(SYS_STATUS), STATUS_ERROR);
  EXPECT_EQ(reply.getU32(SYS_ERRNO), ERROR_BUSY);
  EXPECT_FALSE(reply.hasString(SYS_ERRSTR));
  EXPECT_EQ(reply.getU32(SYS_REQID), 4u);

  makeErrorReply(reply, ERROR_NOTALLOWED, "read only");
  EXPECT_EQ(reply.getU32(SYS_ERRNO), ERROR_NOTALLOWED);
  EXPECT_EQ(reply.getString(SYS_ERRSTR), "read only");
  EXPECT_EQ(errorText(reply.getU32(SYS_ERRNO), reply.getString(SYS_ERRSTR)), "read only (9)");
}

}  // namespace
}  // namespace vl
