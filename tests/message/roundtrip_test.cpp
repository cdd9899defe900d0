// Random messages of every field type survive the flat encoding in all three parse modes,
// and every truncation of an encoding is either refused or a clean field boundary.
#include <gtest/gtest.h>

#include <algorithm>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

constexpr std::uint32_t kSeed = 0x5EED0001;

TEST(RoundTrip, RandomMessagesWithAndWithoutMagic) {
  testing::MessageGenerator gen(kSeed);
  for (int i = 0; i < 300; ++i) {
    const message original = gen.make(2);
    const Bytes encoded = testing::flat(original);
    ASSERT_EQ(flatSize(original), encoded.size()) << i;
    message back, bare;
    ASSERT_TRUE(unflatten(back, encoded)) << i;
    EXPECT_EQ(back, original) << i;
    ASSERT_TRUE(unflatten(bare, encoded.data() + 2, encoded.size() - 2, kUnflattenNoMagic)) << i;
    EXPECT_EQ(bare, original) << i;
  }
}

// Pass-through fields go to the raw copy verbatim and in order; the rest is stored. The
// next parse that does not record releases the copy.
TEST(RoundTrip, RecordingModeSplitsOffPassThroughFields) {
  testing::MessageGenerator gen(kSeed + 1);
  for (int i = 0; i < 200; ++i) {
    const message kept = gen.make(1, false);
    const Bytes passed = testing::flat(gen.make(1, true));
    const Bytes mixed =
        testing::cat({testing::flat(kept), Bytes(passed.begin() + 2, passed.end())});
    message msg;
    ASSERT_TRUE(unflatten(msg, mixed, kUnflattenRecording)) << i;
    EXPECT_EQ(msg.fields(), kept.fields()) << i;
    EXPECT_EQ(msg.rawCopy(), Bytes(passed.begin() + 2, passed.end())) << i;
    ASSERT_TRUE(unflatten(msg, mixed)) << i;
    EXPECT_TRUE(msg.rawCopy().empty()) << i;
  }
}

// A service takes the pass-through fields up as a message of their own, parsing the very
// buffer that the parse replaces.
TEST(RoundTrip, RawCopyParsesIntoTheMessageThatHoldsIt) {
  message passed;
  passed.setString(kPassThroughFlag | 2, std::string(300, 'p'));
  passed.setU32Array(kPassThroughFlag | 3, {1, 2, 3});
  message msg;
  ASSERT_TRUE(unflatten(msg, testing::flat(passed), kUnflattenRecording));
  ASSERT_TRUE(unflatten(msg, msg.rawCopy(), kUnflattenNoMagic));
  EXPECT_EQ(msg, passed);
}

// Each prefix sits in a buffer of exactly its length, so a read past it shows under ASan.
// A prefix that parses ends on a field boundary and holds exactly the fields before it;
// in recording mode (every field passing through) the copy holds only whole fields.
TEST(RoundTrip, EveryTruncationFailsCleanlyOrEndsOnAFieldBoundary) {
  testing::MessageGenerator gen(kSeed + 2);
  int tried = 0;
  for (int i = 0; i < 60; ++i) {
    const bool recording = i % 2 == 1;
    const message original = gen.make(1, recording);
    const Bytes encoded = testing::flat(original);
    if (encoded.size() > 4000) continue;  // quadratic time, no new cases
    ++tried;
    for (std::size_t cut = 2; cut < encoded.size(); ++cut) {
      const Bytes prefix(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(cut));
      message back;
      const bool ok = unflatten(back, prefix, recording ? kUnflattenRecording : kUnflattenNormal);
      const Bytes& copied = back.rawCopy();
      ASSERT_LE(copied.size(), cut - 2) << i << " " << cut;
      EXPECT_TRUE(std::equal(copied.begin(), copied.end(), encoded.begin() + 2)) << i;
      if (ok && recording) {
        EXPECT_EQ(copied.size() + 2, cut) << i;
      } else if (ok) {
        EXPECT_EQ(testing::flat(back), prefix) << i << " " << cut;
      }
      for (const auto& [key, value] : back.fields()) {
        const auto it = original.fields().find(key);
        ASSERT_NE(it, original.fields().end()) << i << " " << cut;
        EXPECT_EQ(it->second, value) << i << " " << cut;
      }
    }
  }
  EXPECT_GE(tried, 30);
}

}  // namespace
}  // namespace vl
