// Random messages of every field type survive the flat encoding in all three parse modes,
// and every truncation of an encoding is either refused or a clean field boundary.
#include <gtest/gtest.h>

#include <algorithm>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace vl {
namespace {

constexpr std::uint32_t kSeed = 0x5EED0001;
// Cutting is quadratic in the length; long encodings add time, not cases.
constexpr std::size_t kMaxCutLength = 4000;

TEST(RoundTrip, RandomMessagesInNormalMode) {
  test::MessageGenerator gen(kSeed);
  for (int i = 0; i < 300; ++i) {
    const message original = gen.make(2);
    const Bytes encoded = test::flat(original);
    ASSERT_EQ(flatSize(original), encoded.size()) << i;
    message back;
    ASSERT_TRUE(unflatten(back, encoded)) << i;
    EXPECT_EQ(back, original) << i;
    EXPECT_EQ(test::flat(back), encoded) << i;
  }
}

TEST(RoundTrip, RandomMessagesWithoutMagic) {
  test::MessageGenerator gen(kSeed + 1);
  for (int i = 0; i < 200; ++i) {
    const message original = gen.make(2);
    const Bytes encoded = test::flat(original);
    message back;
    ASSERT_TRUE(unflatten(back, encoded.data() + 2, encoded.size() - 2, kUnflattenNoMagic));
    EXPECT_EQ(back, original) << i;
  }
}

// Pass-through fields go to the raw copy verbatim and in order; the rest is stored.
TEST(RoundTrip, RecordingModeSplitsOffPassThroughFields) {
  test::MessageGenerator gen(kSeed + 2);
  for (int i = 0; i < 200; ++i) {
    const message kept = gen.make(1, false);
    const message passed = gen.make(1, true);
    const Bytes keptFlat = test::flat(kept);
    const Bytes passedFlat = test::flat(passed);
    const Bytes passedFields(passedFlat.begin() + 2, passedFlat.end());
    Bytes mixed = keptFlat;
    mixed.insert(mixed.end(), passedFields.begin(), passedFields.end());

    message recorded;
    ASSERT_TRUE(unflatten(recorded, mixed, kUnflattenRecording)) << i;
    EXPECT_EQ(recorded.fields(), kept.fields()) << i;
    EXPECT_EQ(recorded.rawCopy(), passedFields) << i;

    message normal;
    ASSERT_TRUE(unflatten(normal, mixed)) << i;
    EXPECT_EQ(normal.fields().size(), kept.fields().size() + passed.fields().size()) << i;
    EXPECT_TRUE(normal.rawCopy().empty()) << i;
  }
}

TEST(RoundTrip, RawCopyIsReleasedByTheNextNonRecordingParse) {
  message passed;
  passed.setU32(kPassThroughFlag | 1, 7);
  message msg;
  ASSERT_TRUE(unflatten(msg, test::flat(passed), kUnflattenRecording));
  ASSERT_FALSE(msg.rawCopy().empty());
  ASSERT_TRUE(unflatten(msg, test::flat(passed)));
  EXPECT_TRUE(msg.rawCopy().empty());
  EXPECT_EQ(msg.getU32(kPassThroughFlag | 1), 7u);
}

// A service takes the pass-through fields up as its own message; the input is the very
// buffer that the parse replaces.
TEST(RoundTrip, RawCopyParsesIntoTheMessageThatHoldsIt) {
  message passed;
  passed.setString(kPassThroughFlag | 2, std::string(300, 'p'));
  passed.setU32Array(kPassThroughFlag | 3, {1, 2, 3});
  message msg;
  ASSERT_TRUE(unflatten(msg, test::flat(passed), kUnflattenRecording));
  ASSERT_TRUE(unflatten(msg, msg.rawCopy(), kUnflattenNoMagic));
  EXPECT_EQ(msg, passed);
}

// Each prefix sits in a buffer of exactly its length, so a read past it shows under ASan.
TEST(RoundTrip, EveryTruncationFailsCleanlyOrEndsOnAFieldBoundary) {
  test::MessageGenerator gen(kSeed + 3);
  int tried = 0;
  for (int i = 0; i < 30; ++i) {
    const message original = gen.make(1);
    const Bytes encoded = test::flat(original);
    if (encoded.size() > kMaxCutLength) continue;
    ++tried;
    for (std::size_t cut = 0; cut < encoded.size(); ++cut) {
      const Bytes prefix(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(cut));
      message back;
      if (unflatten(back, prefix)) {
        EXPECT_EQ(test::flat(back), cut == 0 ? test::kMagic : prefix) << i << " " << cut;
        continue;
      }
      for (const auto& [key, value] : back.fields()) {
        const auto it = original.fields().find(key);
        ASSERT_NE(it, original.fields().end()) << i << " " << cut;
        EXPECT_EQ(it->second, value) << i << " " << cut;
      }
    }
  }
  EXPECT_GE(tried, 15);
}

// The same in recording mode, where every field passes through to the raw copy.
TEST(RoundTrip, EveryTruncationInRecordingModeCopiesWholeFieldsOnly) {
  test::MessageGenerator gen(kSeed + 4);
  int tried = 0;
  for (int i = 0; i < 30; ++i) {
    const Bytes encoded = test::flat(gen.make(1, true));
    if (encoded.size() > kMaxCutLength) continue;
    ++tried;
    const Bytes fields(encoded.begin() + 2, encoded.end());
    for (std::size_t cut = 2; cut < encoded.size(); ++cut) {
      const Bytes prefix(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(cut));
      message back;
      const bool ok = unflatten(back, prefix, kUnflattenRecording);
      EXPECT_TRUE(back.fields().empty()) << i << " " << cut;
      const Bytes& copied = back.rawCopy();
      ASSERT_LE(copied.size(), cut - 2) << i << " " << cut;
      EXPECT_TRUE(std::equal(copied.begin(), copied.end(), fields.begin())) << i << " " << cut;
      if (ok) {
        EXPECT_EQ(copied.size(), cut - 2) << i << " " << cut;
      }
    }
  }
  EXPECT_GE(tried, 15);
}

}  // namespace
}  // namespace vl
