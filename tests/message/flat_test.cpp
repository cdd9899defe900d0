// The flat encoding byte for byte, the parser's acceptance rules and the encoder's limits.
#include <gtest/gtest.h>

#include <functional>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

using testing::cat;
using testing::kMagic;
using testing::le;
using testing::le16;
using testing::le32;

struct EncodeCase {
  const char* name;
  std::function<void(message&)> fill;
  Bytes expected;
};

TEST(Flatten, FieldsEncodeByteForByte) {
  const std::string s255(255, 'a'), s256(256, 'b');
  message inner;
  inner.setU32(STD_ID, 5);
  const EncodeCase cases[] = {
      {"u32 5", [](message& m) { m.setU32(0x08FE0001, 5); }, {0x4D, 0x32, 1, 0, 0xFE, 9, 5}},
      {"u32 300",
       [](message& m) { m.setU32(0x08FE0001, 300); },
       {0x4D, 0x32, 1, 0, 0xFE, 8, 0x2C, 1, 0, 0}},
      {"u32 256", [](message& m) { m.setU32(1, 256); }, cat({kMagic, le32(0x08000001), le32(256)})},
      {"bool true", [](message& m) { m.setBool(0xFF0005, true); }, cat({kMagic, le32(0x01FF0005)})},
      {"u64", [](message& m) { m.setU64(1, 0x0102030405060708); },
       cat({kMagic, le32(0x10000001), le(0x0102030405060708, 8)})},
      {"addr6",
       [](message& m) {
         m.setAddr6(1, Addr6{0xfe, 0x80, 3});
       },
       cat({kMagic, le32(0x18000001), {0xfe, 0x80, 3}, Bytes(13, 0)})},
      {"string 255", [&](message& m) { m.setString(1, s255); },
       cat({kMagic, le32(0x21000001), {255}, testing::text(s255)})},
      {"string 256", [&](message& m) { m.setString(1, s256); },
       cat({kMagic, le32(0x20000001), le16(256), testing::text(s256)})},
      {"nested", [&](message& m) { ASSERT_TRUE(m.setMessage(2, inner)); },
       cat({kMagic, le32(0x29000002), {7}, kMagic, le32(0x09FE0001), {5}})},
      {"u32 array",
       [](message& m) {
         m.setU32Array(1, {7, 0x12345678});
       },
       cat({kMagic, le32(0x88000001), le16(2), le32(7), le32(0x12345678)})},
      {"string array has u16 lengths",
       [](message& m) {
         m.setStringArray(1, {"ab", ""});
       },
       cat({kMagic, le32(0xA0000001), le16(2), le16(2), testing::text("ab"), le16(0)})},
  };
  for (const EncodeCase& c : cases) {
    message msg;
    c.fill(msg);
    EXPECT_EQ(testing::flat(msg), c.expected) << c.name;
    EXPECT_EQ(flatSize(msg), c.expected.size()) << c.name;
  }
}

// Receivers find the routing arrays at fixed places, so they lead whatever their keys.
TEST(Flatten, RoutingArraysFirstThenArraysBoolsU32sAndOthers) {
  message msg;
  msg.setString(1, "x");
  msg.setU32(2, 1);
  msg.setBool(0x7F0003, true);
  msg.setBoolArray(4, {true});
  msg.setU32Array(SYS_FROM, {2});
  msg.setU32Array(SYS_TO, {3});
  Bytes out = {0xAA};  // flatten appends
  ASSERT_TRUE(flatten(msg, out));
  EXPECT_EQ(out, cat({{0xAA},
                      kMagic,
                      le32(0x88FF0001),
                      le16(1),
                      le32(3),
                      le32(0x88FF0002),
                      le16(1),
                      le32(2),
                      le32(0x80000004),
                      le16(1),
                      {1},
                      le32(0x017F0003),
                      le32(0x09000002),
                      {1},
                      le32(0x21000001),
                      {1},
                      testing::text("x")}));
}

struct ParseCase {
  const char* name;
  Bytes input;
  int mode;
  bool ok;
};

TEST(Unflatten, AcceptanceRules) {
  const ParseCase cases[] = {
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
  for (const ParseCase& c : cases) {
    message msg;
    EXPECT_EQ(unflatten(msg, c.input, c.mode), c.ok) << c.name;
  }
}

// Other encoders may choose the long forms or odd element bytes; the value is the same.
TEST(Unflatten, ReadsLongFormsAndAnyNonZeroBoolByte) {
  message msg;
  ASSERT_TRUE(unflatten(msg, cat({kMagic,
                                  le32(0x08000001),
                                  le32(5),
                                  le32(0x20000002),
                                  le16(2),
                                  testing::text("hi"),
                                  le32(0x80000003),
                                  le16(2),
                                  {0, 2}})));
  EXPECT_EQ(msg.getU32(1), 5u);
  EXPECT_EQ(msg.getString(2), "hi");
  EXPECT_EQ(msg.getBoolArray(3), (std::vector<bool>{false, true}));
}

TEST(Unflatten, FailureKeepsOnlyTheFieldsParsedSoFar) {
  message msg;
  msg.setString(9, "old");
  EXPECT_FALSE(unflatten(msg, cat({kMagic, le32(0x09000001), {1}, le32(0x08000002), {1}})));
  EXPECT_EQ(msg.fields().size(), 1u);
  EXPECT_EQ(msg.getU32(1), 1u);
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
      {"message array",
       [](message& m, std::size_t n) { (void)m.setMessageArray(1, std::vector<message>(n)); }},
  };
  for (const auto& [name, fill] : cases) {
    message fits, over, back;
    fill(fits, kMaxFlatLength);
    ASSERT_TRUE(unflatten(back, testing::flat(fits))) << name;
    EXPECT_EQ(back, fits) << name;

    fill(over, kMaxFlatLength + 1);
    EXPECT_FALSE(flatSize(over).has_value()) << name;
    Bytes out = {1, 2};
    EXPECT_FALSE(flatten(over, out)) << name;
    EXPECT_EQ(out, (Bytes{1, 2})) << name;
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    std::uint32_t size = sizeof buffer;
    EXPECT_FALSE(flatten(over, buffer, size)) << name;
    EXPECT_EQ(size, sizeof buffer) << name;
    EXPECT_EQ(buffer[0], 9) << name;
  }
}

TEST(Flatten, TooSmallBufferGetsNothingAndLearnsTheSize) {
  message msg;
  msg.setString(STD_NAME, "router");
  msg.setU32Array(SYS_TO, {1, 2});
  const Bytes expected = cat({Bytes{0xAA}, testing::flat(msg)});
  const std::uint32_t full = static_cast<std::uint32_t>(expected.size() - 1);
  for (std::uint32_t capacity : {0u, full - 1, full}) {
    testing::CapturedLog log;
    Bytes buffer(full + 2, 0xAA);
    std::uint32_t size = capacity;
    const bool fits = capacity == full;
    EXPECT_EQ(flatten(msg, buffer.data() + 1, size), fits) << capacity;
    EXPECT_EQ(size, full) << capacity;
    EXPECT_EQ(buffer, fits ? cat({expected, {0xAA}}) : Bytes(full + 2, 0xAA)) << capacity;
    EXPECT_EQ(log.text, fits ? "" : "WARNING: too small buffer for flatten\n") << capacity;
  }
}

}  // namespace
}  // namespace vl
