// The descriptor stream under the package reader: any piece size, seeking that consumes
// nothing when it fails (a pipe).
#include "streams/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

namespace vl {
namespace {

std::vector<std::uint8_t> bytes(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return out;
}

TEST(FdStream, ReadsFilesInAnyPieceSizeAndSeeks) {
  const std::vector<std::uint8_t> content = bytes(3 * FdStream::kBufferSize + 123);
  testing::TempDir dir;
  testing::writeFile(dir / "f", content);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{4096}, FdStream::kBufferSize + 5}) {
    FdStream in = FdStream::openRead(dir / "f");
    std::vector<std::uint8_t> got, block(piece);
    for (ssize_t n; (n = in.read(block.data(), piece)) > 0;) {
      got.insert(got.end(), block.begin(), block.begin() + n);
    }
    EXPECT_EQ(got, content) << piece;
    EXPECT_TRUE(in.atEnd() && !in.failed());
  }
  // Seeks inside the buffer and past it land on the same bytes.
  FdStream in = FdStream::openRead(dir / "f");
  ASSERT_EQ(in.get(), content[0]);
  EXPECT_EQ(in.seek(10, StreamBuffer::Whence::Current), 11);
  EXPECT_EQ(in.get(), content[11]);
  const std::int64_t far = 2 * static_cast<std::int64_t>(FdStream::kBufferSize);
  EXPECT_EQ(in.seek(far, StreamBuffer::Whence::Current), 12 + far);
  EXPECT_EQ(in.get(), content[static_cast<std::size_t>(12 + far)]);
}

TEST(FdStream, APipeCannotSeekAndLosesNothingTrying) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::vector<std::uint8_t> content = bytes(1000);
  ASSERT_EQ(write(fds[1], content.data(), content.size()), 1000);
  close(fds[1]);
  FdStream in(fds[0], true);
  ASSERT_EQ(in.get(), content[0]);
  EXPECT_EQ(in.seek(5, StreamBuffer::Whence::Current), -1);
  EXPECT_EQ(in.seek(5000, StreamBuffer::Whence::Current), -1);
  std::vector<std::uint8_t> rest;
  ASSERT_TRUE(readAll(in, rest));
  EXPECT_EQ(rest, std::vector<std::uint8_t>(content.begin() + 1, content.end()));
}

}  // namespace
}  // namespace vl
