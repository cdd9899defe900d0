// Hostile input: counts that promise more than the input holds must not be believed, and
// deep nesting must not run the dump out of stack or memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "message/message.h"
#include "tests/message/helpers.h"

namespace {

// The largest single allocation made while tracking is on.
bool gTracking = false;
std::size_t gLargest = 0;

}  // namespace

// These replace the global pair, so malloc and free do match; GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (gTracking && size > gLargest) gLargest = size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vl {
namespace {

using testing::cat;
using testing::kMagic;
using testing::le;

TEST(Hostile, ArrayCountsBeyondTheInputAllocateNothingBig) {
  for (Key type : {kTypeBoolArray, kTypeU32Array, kTypeU64Array, kTypeAddr6Array, kTypeStringArray,
                   kTypeMessageArray, kTypeRawArray}) {
    const Bytes input = cat({kMagic, le(type | 1, 4), le(0xFFFF, 2), Bytes(12, 0)});
    message msg;
    gLargest = 0;
    gTracking = true;
    const bool ok = unflatten(msg, input);
    gTracking = false;
    EXPECT_FALSE(ok) << std::hex << type;
    EXPECT_LT(gLargest, 1024u) << std::hex << type;
  }
}

// Each level costs only its key and length, so 64 KiB hold thousands of levels.
TEST(Hostile, DeepNestingDumpsABoundedText) {
  message msg;
  for (message outer; outer.setMessage(1, msg); outer = message()) msg = outer;
  testing::CapturedLog log;
  dumpMessage(msg);
  EXPECT_LT(log.text.size(), 16384u);
  EXPECT_NE(log.text.find("..."), std::string::npos);
}

// A nested message is one field: its whole encoding must fit a 16-bit length, though
// each of its own fields does.
TEST(Hostile, NestedMessageOverItsLengthFieldIsRefused) {
  message fits, over, msg;
  fits.setRaw(2, Bytes(65535 - 8, 7));  // magic, key and length make 65535
  over.setRaw(2, Bytes(65536 - 8, 7));
  EXPECT_TRUE(msg.setMessage(1, fits));
  EXPECT_FALSE(msg.setMessage(1, over));
  EXPECT_FALSE(msg.setMessageArray(2, {message(), over}));
  EXPECT_EQ(msg.getMessage(1), fits);
  EXPECT_EQ(msg.fields().size(), 1u);
}

}  // namespace
}  // namespace vl
