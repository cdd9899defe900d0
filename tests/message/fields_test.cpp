// Typed fields: one key per type, the tag taken from the accessor, nested messages.
#include <gtest/gtest.h>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

using test::cat;
using test::kMagic;
using test::le16;
using test::le32;

// The same id under each of the fourteen types is fourteen different fields.
TEST(Fields, EachTypeIsItsOwnFieldUnderOneId) {
  const Key id = 0x420009;
  message msg;
  msg.setBool(id, true);
  msg.setU32(id, 1);
  msg.setU64(id, 2);
  msg.setAddr6(id, Addr6{3});
  msg.setString(id, "4");
  msg.setRaw(id, {5});
  message inner;
  inner.setU32(1, 6);
  ASSERT_TRUE(msg.setMessage(id, inner));
  msg.setBoolArray(id, {true});
  msg.setU32Array(id, {8});
  msg.setU64Array(id, {9});
  msg.setAddr6Array(id, {Addr6{10}});
  msg.setStringArray(id, {"11"});
  ASSERT_TRUE(msg.setMessageArray(id, {inner, message()}));
  msg.setRawArray(id, {{13}});
  ASSERT_EQ(msg.fields().size(), 14u);

  message back;
  ASSERT_TRUE(unflatten(back, test::flat(msg)));
  EXPECT_TRUE(back.getBool(id));
  EXPECT_EQ(back.getU32(id), 1u);
  EXPECT_EQ(back.getU64(id), 2u);
  EXPECT_EQ(back.getAddr6(id), Addr6{3});
  EXPECT_EQ(back.getString(id), "4");
  EXPECT_EQ(back.getRaw(id), Bytes{5});
  EXPECT_EQ(back.getMessage(id), inner);
  EXPECT_EQ(back.getBoolArray(id), std::vector<bool>{true});
  EXPECT_EQ(back.getU32Array(id), std::vector<std::uint32_t>{8});
  EXPECT_EQ(back.getU64Array(id), std::vector<std::uint64_t>{9});
  EXPECT_EQ(back.getAddr6Array(id), std::vector<Addr6>{Addr6{10}});
  EXPECT_EQ(back.getStringArray(id), std::vector<std::string>{"11"});
  EXPECT_EQ(back.getMessageArray(id), (std::vector<message>{inner, message()}));
  EXPECT_EQ(back.getRawArray(id), std::vector<Bytes>{{13}});

  EXPECT_TRUE(back.removeU32(id));
  EXPECT_FALSE(back.removeU32(id));
  EXPECT_FALSE(back.hasU32(id));
  EXPECT_EQ(back.getU32(id, 77), 77u);
  EXPECT_TRUE(back.hasU64(id));
  EXPECT_EQ(back.fields().size(), 13u);
}

struct KeyCase {
  const char* name;
  Key written;
  Key read;
  bool same;
};

TEST(Fields, AccessorsPutTheirOwnTypeTagOnTheKey) {
  const KeyCase cases[] = {
      {"id and full key", 0xFE0001, 0x08FE0001, true},
      {"foreign type tag replaced", 0xA8FE0001, 0x08FE0001, true},
      {"wire short-form bit dropped", 0x01FE0001, 0xFE0001, true},
      {"pass-through flag kept", 0x02FE0001, 0xFE0001, false},
      {"other number", 0xFE0001, 0xFE0002, false},
  };
  for (const KeyCase& c : cases) {
    message msg;
    msg.setU32(c.written, 5);
    EXPECT_EQ(msg.hasU32(c.read), c.same) << c.name;
    EXPECT_EQ(msg.getU32(c.read, 9), c.same ? 5u : 9u) << c.name;
  }
}

TEST(Fields, AbsentFieldsGiveTheFallback) {
  const message msg;
  message fallback;
  fallback.setBool(1, true);
  EXPECT_TRUE(msg.getBool(1, true));
  EXPECT_EQ(msg.getString(1, "none"), "none");
  EXPECT_EQ(msg.getMessage(1, fallback), fallback);
  EXPECT_EQ(msg.getU32Array(1, {4, 5}), (std::vector<std::uint32_t>{4, 5}));
}

TEST(Fields, DamagedNestedMessageReadsAsTheFallback) {
  message fallback;
  fallback.setBool(1, true);
  const Bytes damaged = cat({kMagic, le32(0x29000001), {3}, kMagic, {0}});
  message msg;
  ASSERT_TRUE(unflatten(msg, damaged));
  EXPECT_TRUE(msg.hasMessage(1));
  EXPECT_EQ(msg.getMessage(1, fallback), fallback);

  const Bytes damagedElement =
      cat({kMagic, le32(0xA8000002), le16(2), le16(2), kMagic, le16(1), {0}});
  ASSERT_TRUE(unflatten(msg, damagedElement));
  EXPECT_EQ(msg.getMessageArray(2, {fallback}), std::vector<message>{fallback});
}

TEST(Fields, UnencodableNestedMessageIsRefusedAndTheOldValueKept) {
  message tooBig;
  tooBig.setString(1, std::string(kMaxFlatLength + 1, 'x'));
  message small;
  small.setU32(1, 1);
  message msg;
  ASSERT_TRUE(msg.setMessage(5, small));
  ASSERT_TRUE(msg.setMessageArray(6, {small}));
  EXPECT_FALSE(msg.setMessage(5, tooBig));
  EXPECT_FALSE(msg.setMessageArray(6, {small, tooBig}));
  EXPECT_EQ(msg.getMessage(5), small);
  EXPECT_EQ(msg.getMessageArray(6), std::vector<message>{small});
}

}  // namespace
}  // namespace vl
