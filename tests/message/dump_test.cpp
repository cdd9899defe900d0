// The text dump of a message, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

message sample() {
  message inner;
  inner.setU32(STD_ID, 7);
  message msg;
  msg.setBool(SYS_REPLYEXP, true);
  msg.setBool(STD_DISABLED, false);
  msg.setU32(SYS_CMD, CMD_GETALL);
  msg.setU64(STD_COUNT, 18446744073709551615ull);
  msg.setAddr6(SYS_RADDR6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  msg.setString(STD_NAME, "ether1");
  EXPECT_TRUE(msg.setMessage(STD_OBJS, inner));
  msg.setRaw(0xFD0001, {0x00, 0xAB, 0x7F});
  msg.setBoolArray(0x000003, {true, false});
  msg.setU32Array(SYS_TO, {1, 300});
  msg.setU64Array(0x000005, {});
  msg.setAddr6Array(0x000006, {Addr6{}});
  msg.setStringArray(0x000007, {"a", "b c"});
  EXPECT_TRUE(msg.setMessageArray(0x000008, {inner, message()}));
  msg.setRawArray(0x000009, {{0x01}, {}});
  return msg;
}

TEST(DumpMessage, EveryTypeOfField) {
  testing::CapturedLog log;
  dumpMessage(sample());
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
