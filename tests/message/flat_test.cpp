// The flat encoding byte for byte and back, the parser's acceptance rules, the encoder's
// limits and the recording of pass-through fields.
#include <gtest/gtest.h>

#include <algorithm>

#include "message/message.h"
#include "tests/message/helpers.h"
#include "tests/support/hex.h"

namespace vl {
namespace {

using testing::cat;
using testing::fromHex;
using testing::kMagic;
using testing::le;
using testing::le16;
using testing::le32;

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
  const std::tuple<const char*, Bytes, int, bool> cases[] = {
      {"empty", {}, kUnflattenNormal, true},
      {"magic alone", kMagic, kUnflattenNormal, true},
      {"magic and 3 stray bytes", cat({kMagic, {0, 0, 0}}), kUnflattenNormal, false},
      {"half a magic", {0x4D}, kUnflattenNormal, false},
      {"no magic in recording mode", le32(1), kUnflattenRecording, false},
      {"no magic in mode 2", le32(1), kUnflattenNoMagic, true},
      {"magic taken as a key in mode 2", cat({kMagic, le32(0x09000001), {5}}), kUnflattenNoMagic,
       false},
      {"type tag 0x38", cat({kMagic, le32(0x38000001), Bytes(8, 0)}), kUnflattenNormal, false},
      {"short u32 without its byte", cat({kMagic, le32(0x09000001)}), kUnflattenNormal, false},
      {"string longer than its length", cat({kMagic, le32(0x21000001), {1, 'a', 'b'}}),
       kUnflattenNormal, false},
      {"u32 array short by one byte", cat({kMagic, le32(0x88000001), le16(2), Bytes(7, 0)}),
       kUnflattenNormal, false},
      {"unknown mode", kMagic, 3, false},
  };
  for (const auto& [name, input, mode, ok] : cases) {
    message msg;
    EXPECT_EQ(unflatten(msg, input, mode), ok) << name;
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
      {"nested message",
       [](message& m, std::size_t n) {
         message inner;
         inner.setRaw(2, Bytes(n - 8, 7));  // magic, key and u16 length make it n
         ASSERT_TRUE(m.setMessage(1, inner));
       }},
      {"bool array", [](message& m, std::size_t n) { m.setBoolArray(1, std::vector<bool>(n)); }},
      {"string array element",
       [](message& m, std::size_t n) {
         m.setStringArray(1, {"a", std::string(n, 's')});
       }},
      {"message array",
       [](message& m, std::size_t n) { (void)m.setMessageArray(1, std::vector<message>(n)); }},
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
      for (const auto& [key, value] : back.fields()) {
        const auto it = original.fields().find(key);
        ASSERT_NE(it, original.fields().end()) << cut;
        EXPECT_EQ(it->second, value) << cut;
      }
    }
  }
}

}  // namespace
}  // namespace vl
