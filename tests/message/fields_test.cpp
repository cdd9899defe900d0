// Typed fields: the accessor's own type tag on the key, nested messages kept flat.
#include <gtest/gtest.h>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

using testing::cat;
using testing::kMagic;
using testing::le16;
using testing::le32;

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
    msg.setU64(c.read, 6);  // same id, other type: another field
    EXPECT_EQ(msg.getU32(c.read, 9), c.same ? 5u : 9u) << c.name;
    EXPECT_EQ(msg.removeU32(c.read), c.same) << c.name;
    EXPECT_EQ(msg.getU64(c.read), 6u) << c.name;
  }
}

TEST(Fields, DamagedNestedMessageReadsAsTheFallback) {
  message fallback;
  fallback.setBool(1, true);
  message msg;
  ASSERT_TRUE(unflatten(msg, cat({kMagic,
                                  le32(0x29000001),
                                  {3},
                                  kMagic,
                                  {0},  // stray byte
                                  le32(0xA8000002),
                                  le16(2),
                                  le16(2),
                                  kMagic,
                                  le16(1),
                                  {0}})));
  EXPECT_TRUE(msg.hasMessage(1));
  EXPECT_EQ(msg.getMessage(1, fallback), fallback);
  EXPECT_EQ(msg.getMessageArray(2, {fallback}), std::vector<message>{fallback});
}

TEST(Fields, UnencodableNestedMessageIsRefusedAndTheOldValueKept) {
  message tooBig, small, msg;
  tooBig.setString(1, std::string(kMaxFlatLength + 1, 'x'));
  small.setU32(1, 1);
  ASSERT_TRUE(msg.setMessage(5, small));
  ASSERT_TRUE(msg.setMessageArray(6, {small}));
  EXPECT_FALSE(msg.setMessage(5, tooBig));
  EXPECT_FALSE(msg.setMessageArray(6, {small, tooBig}));
  EXPECT_EQ(msg.getMessage(5), small);
  EXPECT_EQ(msg.getMessageArray(6), std::vector<message>{small});
}

}  // namespace
}  // namespace vl
