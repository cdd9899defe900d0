// The flat encoding byte for byte and back, the parser's acceptance rules, the encoder's
// limits and the recording of pass-through fields; key names, value names, error texts and
// the text dump, byte for byte as the logs show them.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "message/message.h"
#include "tests/message/helpers.h"
#include "tests/support/hex.h"

namespace vl {
namespace {

using testing::cat;
using testing::fromHex;
using testing::kMagic;

// Short forms below 256, long ones from 256; the routing arrays lead whatever their keys
// (receivers find them at fixed places), then the other arrays, bools, u32s and the rest.
TEST(Flatten, ByteForByteAndBackInEveryMode) {
  const std::string s255(255, 'a'), s256(256, 'b');
  message inner, msg;
  inner.setU32(STD_ID, 5);
  msg.setU32(1, 255);
  msg.setU32(2, 256);
  msg.setU32(0xFE0001, 5);
  msg.setBool(0xFF0005, true);
  msg.setU64(1, 0x0102030405060708);
  msg.setString(1, s255);
  msg.setString(2, s256);
  ASSERT_TRUE(msg.setMessage(3, inner));
  msg.setU32Array(1, {7, 0x12345678});
  msg.setStringArray(1, {"ab", ""});
  msg.setU32Array(SYS_FROM, {2});
  msg.setU32Array(SYS_TO, {3});
  Bytes out = {0xAA};  // flatten appends
  ASSERT_TRUE(flatten(msg, out));
  EXPECT_EQ(out, cat({fromHex("aa4d32"
                              "0100ff88010003000000"                // SYS_TO
                              "0200ff88010002000000"                // SYS_FROM
                              "0100008802000700000078563412"        // u32 array
                              "010000a002000200616200000500ff01"    // string array, bool
                              "01000009ff0200000800010000"          // u32 255, u32 256
                              "0100fe0905010000100807060504030201"  // u32 5, u64
                              "01000021ff"),
                      testing::text(s255), fromHex("020000200001"), testing::text(s256),
                      fromHex("03000029074d320100fe0905")}));
  for (const message& original : {msg, testing::sample()}) {
    const Bytes encoded = testing::flat(original);
    EXPECT_EQ(flatSize(original), encoded.size());
    message back, bare;
    ASSERT_TRUE(unflatten(back, encoded));
    EXPECT_EQ(back, original);
    ASSERT_TRUE(unflatten(bare, encoded.data() + 2, encoded.size() - 2, kUnflattenNoMagic));
    EXPECT_EQ(bare, original);
  }
}

TEST(Unflatten, AcceptanceRules) {
  const std::tuple<const char*, int, bool> cases[] = {
      {"", kUnflattenNormal, true},
      {"4d32", kUnflattenNormal, true},
      {"4d32000000", kUnflattenNormal, false},  // stray bytes
      {"4d", kUnflattenNormal, false},          // half a magic
      {"01000000", kUnflattenRecording, false},
      {"01000000", kUnflattenNoMagic, true},
      {"4d320100000905", kUnflattenNoMagic, false},                 // the magic read as a key
      {"4d32010000380000000000000000", kUnflattenNormal, false},    // type tag 0x38
      {"4d3201000009", kUnflattenNormal, false},                    // short u32 without its byte
      {"4d3201000021016162", kUnflattenNormal, false},              // string longer than said
      {"4d3201000088020000000000000000", kUnflattenNormal, false},  // u32 array one byte short
      {"4d32", 3, false},                                           // unknown mode
  };
  for (const auto& [input, mode, ok] : cases) {
    message msg;
    EXPECT_EQ(unflatten(msg, fromHex(input), mode), ok) << input << " mode " << mode;
  }
  // Other encoders may choose the long forms or odd bool bytes; the value is the same.
  message msg;
  ASSERT_TRUE(unflatten(msg, fromHex("4d32010000080500000002000020020068690300008002000002")));
  EXPECT_EQ(msg.getU32(1), 5u);
  EXPECT_EQ(msg.getString(2), "hi");
  EXPECT_EQ(msg.getBoolArray(3), (std::vector<bool>{false, true}));
}

// 16-bit lengths would wrap silently; a field one past the limit is refused whole.
TEST(Flatten, RefusesLengthsAndCountsBeyond16Bits) {
  using Fill = void (*)(message&, std::size_t);
  const std::pair<const char*, Fill> cases[] = {
      {"string", [](message& m, std::size_t n) { m.setString(1, std::string(n, 's')); }},
      {"bool array", [](message& m, std::size_t n) { m.setBoolArray(1, std::vector<bool>(n)); }},
      {"string array element",
       [](message& m, std::size_t n) {
         m.setStringArray(1, {"a", std::string(n, 's')});
       }},
  };
  for (const auto& [name, fill] : cases) {
    message fits, over;
    fill(fits, kMaxFlatLength);
    EXPECT_TRUE(flatSize(fits).has_value()) << name;
    fill(over, kMaxFlatLength + 1);
    EXPECT_FALSE(flatSize(over).has_value()) << name;
    Bytes out = {1, 2};
    EXPECT_FALSE(flatten(over, out)) << name;
    EXPECT_EQ(out, (Bytes{1, 2})) << name;
  }
}

TEST(Flatten, TooSmallBufferGetsNothingAndLearnsTheSize) {
  message msg;
  msg.setString(STD_NAME, "router");
  const Bytes expected = fromHex("aa4d321000fe2106726f75746572");
  const std::uint32_t full = 13;
  for (std::uint32_t capacity : {0u, full - 1, full}) {
    testing::CapturedLog log;
    Bytes buffer(full + 2, 0xAA);
    std::uint32_t size = capacity;
    const bool fits = capacity == full;
    EXPECT_EQ(flatten(msg, buffer.data() + 1, size), fits) << capacity;
    EXPECT_EQ(size, full) << capacity;
    EXPECT_EQ(buffer, fits ? cat({expected, Bytes{0xAA}}) : Bytes(full + 2, 0xAA)) << capacity;
    EXPECT_EQ(log.text, fits ? "" : "WARNING: too small buffer for flatten\n") << capacity;
  }
}

// Pass-through fields go to the raw copy verbatim and in order; the rest is stored. A
// service takes them up as a message of their own, parsing the very buffer that the parse
// replaces; the next parse that does not record releases the copy.
TEST(Unflatten, RecordingModeSplitsOffPassThroughFields) {
  const message kept = testing::sample(), passed = testing::sample(kPassThroughFlag);
  Bytes passedFields = testing::flat(passed);
  passedFields.erase(passedFields.begin(), passedFields.begin() + 2);
  const Bytes mixed = cat({testing::flat(kept), passedFields});
  message msg;
  ASSERT_TRUE(unflatten(msg, mixed, kUnflattenRecording));
  EXPECT_EQ(msg.fields(), kept.fields());
  EXPECT_EQ(msg.rawCopy(), passedFields);
  ASSERT_TRUE(unflatten(msg, msg.rawCopy(), kUnflattenNoMagic));
  EXPECT_EQ(msg, passed);
  ASSERT_TRUE(unflatten(msg, mixed));
  EXPECT_TRUE(msg.rawCopy().empty());
}

// Each prefix sits in a buffer of exactly its length, so a read past it shows under ASan.
// A prefix that parses ends on a field boundary and holds exactly the fields before it;
// in recording mode (every field passing through) the copy holds only whole fields.
TEST(Unflatten, EveryTruncationFailsCleanlyOrEndsOnAFieldBoundary) {
  for (const bool recording : {false, true}) {
    const message original = testing::sample(recording ? kPassThroughFlag : 0);
    const Bytes encoded = testing::flat(original);
    for (std::size_t cut = 2; cut < encoded.size(); ++cut) {
      const Bytes prefix(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(cut));
      message back;
      const bool ok = unflatten(back, prefix, recording ? kUnflattenRecording : kUnflattenNormal);
      const Bytes& copied = back.rawCopy();
      ASSERT_LE(copied.size(), cut - 2) << cut;
      EXPECT_TRUE(std::equal(copied.begin(), copied.end(), encoded.begin() + 2)) << cut;
      EXPECT_TRUE(!ok || (recording ? copied.size() + 2 == cut : testing::flat(back) == prefix))
          << cut;
    }
  }
}

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
      {SYS_CMD, 0xFE0016, "CMD_RESET"},
      {SYS_ERRNO, 0xFE000E, "ERROR_TOOMUCH"},
      // no name: the number in decimal and hex, and the system's error text
      {SYS_TYPE, 3, "3 0x3 No such process"},
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
