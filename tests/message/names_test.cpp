// Key names, value names, error texts and the text dump, byte for byte as the logs show
// them.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

TEST(KeyName, WellKnownIdsAndNamespaces) {
  const std::pair<Key, const char*> cases[] = {
      {0x08FE0010, "STD_NAME"},     {0x8AFF0002, "SYS_FROM"},    {0xFF0016, "SYS_DREASON"},
      {0xFE001B, "STD_SNMP_QUERY"}, {0xFE001C, "std::28"},       {0x08FE0100, "std::256"},
      {0xFF000C, "sys::12"},        {0xFD0007, "local::7"},      {0x28000009, "9"},
      {0x120005, "1179648::5"},     {0x01FC0002, "16515072::2"},
  };
  for (const auto& [key, name] : cases) EXPECT_STREQ(keyName(key), name) << std::hex << key;
}

// Logs print both in one line: printf("%s=%s", keyName(k), valueName(k, v)).
TEST(ValueName, NamedValuesTheNumericFormAndTheKeyNameIntact) {
  const std::tuple<Key, std::uint32_t, const char*> cases[] = {
      {0x08FF0003, 2, "TYPE_REPLY"},
      {SYS_STATUS, 1, "STATUS_OK"},
      {SYS_DREASON, 0, "DREASON_DISCONNECTED"},
      {SYS_CMD, 0xFE0016, "CMD_RESET"},
      {SYS_ERRNO, 0xFE000E, "ERROR_TOOMUCH"},
      // no name: the number in decimal and hex, and the system's error text
      {SYS_TYPE, 3, "3 0x3 No such process"},
      {SYS_CMD, 0xFE0009, "16646153 0xfe0009 Unknown error 16646153"},
      {STD_ID, 0xFFFFFFFF, "-1 0xffffffff Unknown error -1"},
  };
  for (const auto& [key, value, name] : cases) {
    EXPECT_STREQ(valueName(key, value), name) << std::hex << key << " " << value;
  }
  const char* key = keyName(SYS_CMD);
  EXPECT_STREQ(valueName(SYS_CMD, CMD_GET), "CMD_GET");
  EXPECT_STREQ(key, "SYS_CMD");
}

TEST(ErrorText, ScopesNumbersAndTexts) {
  const std::tuple<std::uint32_t, const char*, const char*> cases[] = {
      {0xFE0002, "", "std failure: broken path (2)"},
      {0xFF0005, "", "sys failure: 5"},
      {0xFE0008, "", "std failure: ??? (8)"},
      {0xFE000E, "", "std failure: too much (14)"},
      {0xFE000F, "", "std failure: 15"},
      {0xFD0003, "", "local failure: 3"},
      {0x000007, "", "global failure: 7"},
      {0x420001, "", "undefined failure: 1"},
      {0, "", "ok"},
      {0x1234ABCD, "link down", "link down (43981)"},
  };
  for (const auto& [code, text, expected] : cases) {
    EXPECT_EQ(errorText(code, text), expected) << std::hex << code << " " << text;
  }
  message reply;
  makeErrorReply(reply, ERROR_BUSY, "");
  EXPECT_EQ(reply.getU32(SYS_STATUS), STATUS_ERROR);
  EXPECT_EQ(reply.getU32(SYS_ERRNO), ERROR_BUSY);
  EXPECT_FALSE(reply.hasString(SYS_ERRSTR));
  makeErrorReply(reply, ERROR_NOTALLOWED, "read only");
  EXPECT_EQ(errorText(reply.getU32(SYS_ERRNO), reply.getString(SYS_ERRSTR)), "read only (9)");
}

TEST(DumpMessage, EveryTypeOfField) {
  testing::CapturedLog log;
  dumpMessage(testing::sample());
  EXPECT_EQ(log.text,
            "--- vl::message --------\n"
            " bool [STD_DISABLED]=false\n"
            " bool [SYS_REPLYEXP]=true\n"
            " u32 [SYS_CMD]=16646148\n"
            " u64 [STD_COUNT]=18446744073709551615\n"
            " addr6 [SYS_RADDR6]=2001:db8::1\n"
            " string [STD_NAME]=ether1\n"
            " message [STD_OBJS]...\n"
            "--- vl::message --------\n"
            "   u32 [STD_ID]=7\n"
            " raw [local::1]=#00ab7f\n"
            " bool[3] [true, false]\n"
            " u32[SYS_TO] [1, 300]\n"
            " u64[5] []\n"
            " addr6[6] [::]\n"
            " string[7] [a, b c]\n"
            " message[8]..\n"
            "--- vl::message --------\n"
            "   u32 [STD_ID]=7\n"
            "--- vl::message --------\n"
            " raw[9] [#01, #]\n");
}

}  // namespace
}  // namespace vl
