// The flat encoding byte for byte, the parser's acceptance rules and the encoder's limits.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

using test::cat;
using test::kMagic;
using test::le16;
using test::le32;
using test::le64;

struct EncodeCase {
  const char* name;
  std::function<void(message&)> fill;
  Bytes expected;
};

const std::string k255(255, 'a');
const std::string k256(256, 'b');

TEST(Flatten, SingleFieldsEncodeByteForByte) {
  const Addr6 address = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const EncodeCase cases[] = {
      {"u32 5",
       [](message& m) { m.setU32(0x08FE0001, 5); },
       {0x4D, 0x32, 0x01, 0x00, 0xFE, 0x09, 0x05}},
      {"u32 300",
       [](message& m) { m.setU32(0x08FE0001, 300); },
       {0x4D, 0x32, 0x01, 0x00, 0xFE, 0x08, 0x2C, 0x01, 0x00, 0x00}},
      {"u32 255 is short", [](message& m) { m.setU32(STD_ID, 255); },
       cat({kMagic, le32(0x09FE0001), {0xFF}})},
      {"u32 256 is long", [](message& m) { m.setU32(STD_ID, 256); },
       cat({kMagic, le32(0x08FE0001), le32(256)})},
      {"bool true", [](message& m) { m.setBool(0xFF0005, true); }, cat({kMagic, le32(0x01FF0005)})},
      {"bool false", [](message& m) { m.setBool(0xFF0005, false); },
       cat({kMagic, le32(0x00FF0005)})},
      {"u64", [](message& m) { m.setU64(STD_COUNT, 0x0102030405060708ull); },
       cat({kMagic, le32(0x10FE0014), le64(0x0102030405060708ull)})},
      {"addr6", [&](message& m) { m.setAddr6(SYS_RADDR6, address); },
       cat({kMagic, le32(0x18FF0013), Bytes(address.begin(), address.end())})},
      {"string 255", [](message& m) { m.setString(STD_NAME, k255); },
       cat({kMagic, le32(0x21FE0010), {0xFF}, test::text(k255)})},
      {"string 256", [](message& m) { m.setString(STD_NAME, k256); },
       cat({kMagic, le32(0x20FE0010), le16(256), test::text(k256)})},
      {"empty string", [](message& m) { m.setString(STD_NAME, ""); },
       cat({kMagic, le32(0x21FE0010), {0x00}})},
      {"raw",
       [](message& m) {
         m.setRaw(0x420007, {0x00, 0xFF});
       },
       cat({kMagic, le32(0x31420007), {0x02, 0x00, 0xFF}})},
      {"nested",
       [](message& m) {
         message inner;
         inner.setU32(STD_ID, 5);
         ASSERT_TRUE(m.setMessage(STD_OBJS, inner));
       },
       cat({kMagic, le32(0x29FE0002), {0x07}, kMagic, le32(0x09FE0001), {0x05}})},
  };
  for (const EncodeCase& c : cases) {
    message msg;
    c.fill(msg);
    EXPECT_EQ(test::flat(msg), c.expected) << c.name;
    EXPECT_EQ(flatSize(msg), c.expected.size()) << c.name;
  }
}

TEST(Flatten, ArraysEncodeByteForByte) {
  const EncodeCase cases[] = {
      {"bool array",
       [](message& m) {
         m.setBoolArray(0xFD0001, {true, false, true});
       },
       cat({kMagic, le32(0x80FD0001), le16(3), {1, 0, 1}})},
      {"u32 array",
       [](message& m) {
         m.setU32Array(SYS_TO, {7, 0x12345678});
       },
       cat({kMagic, le32(0x88FF0001), le16(2), le32(7), le32(0x12345678)})},
      {"u64 array", [](message& m) { m.setU64Array(0xFD0001, {1}); },
       cat({kMagic, le32(0x90FD0001), le16(1), le64(1)})},
      {"addr6 array", [](message& m) { m.setAddr6Array(0xFD0001, {Addr6{}}); },
       cat({kMagic, le32(0x98FD0001), le16(1), Bytes(16, 0)})},
      {"string array keeps u16 lengths even when short",
       [](message& m) {
         m.setStringArray(0xFD0001, {"ab", ""});
       },
       cat({kMagic, le32(0xA0FD0001), le16(2), le16(2), test::text("ab"), le16(0)})},
      {"raw array", [](message& m) { m.setRawArray(0xFD0001, {{9}}); },
       cat({kMagic, le32(0xB0FD0001), le16(1), le16(1), {9}})},
      {"message array", [](message& m) { ASSERT_TRUE(m.setMessageArray(0xFD0001, {message()})); },
       cat({kMagic, le32(0xA8FD0001), le16(1), le16(2), kMagic})},
      {"empty array", [](message& m) { m.setU32Array(0xFD0001, {}); },
       cat({kMagic, le32(0x88FD0001), le16(0)})},
  };
  for (const EncodeCase& c : cases) {
    message msg;
    c.fill(msg);
    EXPECT_EQ(test::flat(msg), c.expected) << c.name;
  }
}

// The receiver finds the routing arrays at fixed places, so they lead whatever their keys.
TEST(Flatten, RoutingArraysFirstThenArraysBoolsU32sAndOthers) {
  message msg;
  msg.setString(0x000001, "x");
  msg.setU32(0x000002, 1);
  msg.setBool(0x7F0003, true);
  msg.setBoolArray(0x000004, {true});
  msg.setU32Array(SYS_FROM, {2});
  msg.setU32Array(SYS_TO, {3});
  const Bytes expected = cat({kMagic,
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
                              test::text("x")});
  EXPECT_EQ(test::flat(msg), expected);
}

TEST(Flatten, AppendsToTheVector) {
  message msg;
  msg.setBool(1, true);
  Bytes out = {0xAA};
  ASSERT_TRUE(flatten(msg, out));
  EXPECT_EQ(out, cat({{0xAA}, kMagic, le32(0x01000001)}));
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
      {"empty without magic", {}, kUnflattenNoMagic, true},
      {"magic alone", kMagic, kUnflattenNormal, true},
      {"magic and 1 stray byte", cat({kMagic, {0}}), kUnflattenNormal, false},
      {"magic and 2 stray bytes", cat({kMagic, {0, 0}}), kUnflattenNormal, false},
      {"magic and 3 stray bytes", cat({kMagic, {0, 0, 0}}), kUnflattenNormal, false},
      {"half a magic", {0x4D}, kUnflattenNormal, false},
      {"magic reversed", {0x32, 0x4D}, kUnflattenNormal, false},
      {"magic required in recording mode", le32(0x01000001), kUnflattenRecording, false},
      {"field without magic in mode 2", le32(0x01000001), kUnflattenNoMagic, true},
      {"magic read as a key in mode 2", cat({kMagic, le32(0x09FE0001), {5}}), kUnflattenNoMagic,
       false},
      {"field after a complete one, 3 stray", cat({kMagic, le32(1), {0, 0, 0}}), kUnflattenNormal,
       false},
      {"type tag 0x38", cat({kMagic, le32(0x38000001), le64(0)}), kUnflattenNormal, false},
      {"type tag 0xB8", cat({kMagic, le32(0xB8000001), le16(0)}), kUnflattenNormal, false},
      {"type tag 0x40", cat({kMagic, le32(0x40000001)}), kUnflattenNormal, false},
      {"short u32 without its byte", cat({kMagic, le32(0x09000001)}), kUnflattenNormal, false},
      {"long u32 with 3 bytes", cat({kMagic, le32(0x08000001), {1, 2, 3}}), kUnflattenNormal,
       false},
      {"u64 with 7 bytes", cat({kMagic, le32(0x10000001), Bytes(7, 0)}), kUnflattenNormal, false},
      {"addr6 with 15 bytes", cat({kMagic, le32(0x18000001), Bytes(15, 0)}), kUnflattenNormal,
       false},
      {"string shorter than its length", cat({kMagic, le32(0x21000001), {3}, {'a', 'b'}}),
       kUnflattenNormal, false},
      {"string longer than its length", cat({kMagic, le32(0x21000001), {1}, {'a', 'b'}}),
       kUnflattenNormal, false},
      {"u32 array short by one byte", cat({kMagic, le32(0x88000001), le16(2), Bytes(7, 0)}),
       kUnflattenNormal, false},
      {"string array element cut", cat({kMagic, le32(0xA0000001), le16(1), le16(4), {'a'}}),
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
  const Bytes input = cat({kMagic,
                           le32(0x08000001),
                           le32(5),
                           le32(0x20000002),
                           le16(2),
                           test::text("hi"),
                           le32(0x80000003),
                           le16(3),
                           {0, 2, 0xFF}});
  ASSERT_TRUE(unflatten(msg, input));
  EXPECT_EQ(msg.getU32(1), 5u);
  EXPECT_EQ(msg.getString(2), "hi");
  EXPECT_EQ(msg.getBoolArray(3), (std::vector<bool>{false, true, true}));
}

TEST(Unflatten, RepeatedKeyKeepsTheLastValue) {
  message msg;
  ASSERT_TRUE(unflatten(msg, cat({kMagic, le32(0x09000001), {1}, le32(0x09000001), {2}})));
  EXPECT_EQ(msg.getU32(1), 2u);
  EXPECT_EQ(msg.fields().size(), 1u);
}

TEST(Unflatten, FailureKeepsTheFieldsParsedSoFar) {
  message msg;
  msg.setString(9, "old");
  EXPECT_FALSE(unflatten(msg, cat({kMagic, le32(0x09000001), {1}, le32(0x08000002), {1}})));
  EXPECT_EQ(msg.getU32(1), 1u);
  EXPECT_FALSE(msg.hasU32(2));
  EXPECT_FALSE(msg.hasString(9));
}

struct LimitCase {
  const char* name;
  std::function<void(message&, std::size_t)> fill;
};

// 16-bit lengths would wrap silently; a field one past the limit must be refused whole.
TEST(Flatten, RefusesLengthsAndCountsBeyond16Bits) {
  const LimitCase cases[] = {
      {"string", [](message& m, std::size_t n) { m.setString(1, std::string(n, 's')); }},
      {"raw", [](message& m, std::size_t n) { m.setRaw(1, Bytes(n, 7)); }},
      {"nested message",
       [](message& m, std::size_t n) {
         message inner;
         inner.setRaw(2, Bytes(n - 2 - 4 - 2, 7));  // magic, key, u16 length
         ASSERT_TRUE(m.setMessage(1, inner));
       }},
      {"bool array", [](message& m, std::size_t n) { m.setBoolArray(1, std::vector<bool>(n)); }},
      {"u32 array",
       [](message& m, std::size_t n) { m.setU32Array(1, std::vector<std::uint32_t>(n)); }},
      {"addr6 array", [](message& m, std::size_t n) { m.setAddr6Array(1, std::vector<Addr6>(n)); }},
      {"string array count",
       [](message& m, std::size_t n) { m.setStringArray(1, std::vector<std::string>(n)); }},
      {"string array element",
       [](message& m, std::size_t n) {
         m.setStringArray(1, {"a", std::string(n, 's')});
       }},
      {"raw array element", [](message& m, std::size_t n) { m.setRawArray(1, {Bytes(n, 1)}); }},
      {"message array count",
       [](message& m, std::size_t n) {
         ASSERT_TRUE(m.setMessageArray(1, std::vector<message>(n)));
       }},
  };
  for (const LimitCase& c : cases) {
    message fits;
    c.fill(fits, kMaxFlatLength);
    const Bytes encoded = test::flat(fits);
    ASSERT_FALSE(encoded.empty()) << c.name;
    message back;
    ASSERT_TRUE(unflatten(back, encoded)) << c.name;
    EXPECT_EQ(back, fits) << c.name;

    message over;
    c.fill(over, kMaxFlatLength + 1);
    EXPECT_FALSE(flatSize(over).has_value()) << c.name;
    Bytes out = {1, 2, 3};
    EXPECT_FALSE(flatten(over, out)) << c.name;
    EXPECT_EQ(out, (Bytes{1, 2, 3})) << c.name;
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    std::uint32_t size = sizeof buffer;
    EXPECT_FALSE(flatten(over, buffer, size)) << c.name;
    EXPECT_EQ(size, sizeof buffer) << c.name;
    EXPECT_EQ(buffer[0], 9) << c.name;
  }
}

TEST(Flatten, TooSmallBufferGetsNothingAndLearnsTheSize) {
  message msg;
  msg.setString(STD_NAME, "router");
  msg.setU32Array(SYS_TO, {1, 2});
  const Bytes expected = test::flat(msg);
  const std::uint32_t full = static_cast<std::uint32_t>(expected.size());

  for (std::uint32_t capacity : {0u, 1u, full - 1}) {
    test::CapturedLog log;
    Bytes buffer(full + 8, 0xEE);
    std::uint32_t size = capacity;
    EXPECT_FALSE(flatten(msg, buffer.data(), size)) << capacity;
    EXPECT_EQ(size, full) << capacity;
    EXPECT_EQ(buffer, Bytes(full + 8, 0xEE)) << capacity;
    EXPECT_EQ(log.text, "WARNING: too small buffer for flatten\n") << capacity;
  }

  test::CapturedLog log;
  Bytes buffer(full + 8, 0xEE);
  std::uint32_t size = full + 8;
  ASSERT_TRUE(flatten(msg, buffer.data(), size));
  EXPECT_EQ(size, full);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + full), expected);
  EXPECT_EQ(Bytes(buffer.begin() + full, buffer.end()), Bytes(8, 0xEE));
  EXPECT_EQ(log.text, "");
}

}  // namespace
}  // namespace vl
