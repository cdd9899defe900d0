// A stream for reader tests: bytes delivered in chunks at chosen split points, with or
// without the ability to seek, counting what was seeked over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "streams/stream.h"

namespace vl::testing {

// Hands out its bytes in get areas that end at the given split positions (and every
// `step` bytes after the last split, when step is not 0).
class SplitSource final : public StreamBuffer {
 public:
  SplitSource(std::span<const std::uint8_t> bytes, std::vector<std::size_t> splits,
              std::size_t step = 0, bool seekable = false)
      : bytes_(bytes), splits_(std::move(splits)), step_(step), seekable_(seekable) {}

  std::int64_t seek(std::int64_t offset, Whence whence) override {
    if (!seekable_ || whence != Whence::Current || offset < 0) return -1;
    const std::size_t here = position_ - getAreaSize();
    const std::size_t target = here + static_cast<std::size_t>(offset);
    if (target > bytes_.size()) return -1;
    seeked_ += static_cast<std::size_t>(offset);
    position_ = target;
    dropGetArea();
    return static_cast<std::int64_t>(target);
  }

  std::size_t seeked() const { return seeked_; }

 protected:
  bool underflow() override {
    if (position_ >= bytes_.size()) {
      setEnd();
      return false;
    }
    std::size_t end = bytes_.size();
    for (std::size_t split : splits_) {
      if (split > position_) {
        end = std::min(end, split);
        break;
      }
    }
    if (step_ != 0) end = std::min(end, position_ + step_);
    setGetArea(bytes_.data() + position_, bytes_.data() + end);
    position_ = end;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::vector<std::size_t> splits_;
  std::size_t step_;
  bool seekable_;
  std::size_t position_ = 0;
  std::size_t seeked_ = 0;
};

}  // namespace vl::testing
