// The stream buffers under the package reader: descriptors (files and pipes), seeking
// that consumes nothing when it fails, push-back, and write errors with their errno.
#include "streams/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

namespace vl {
namespace {

std::vector<std::uint8_t> bytes(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return out;
}

std::string tempFile(const std::vector<std::uint8_t>& content) {
  char name[] = "/tmp/vl-stream-XXXXXX";
  const int fd = mkstemp(name);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  return name;
}

TEST(FdStream, ReadsFilesInAnyPieceSizeAndSeeks) {
  const std::vector<std::uint8_t> content = bytes(3 * FdStream::kBufferSize + 123);
  const std::string path = tempFile(content);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096},
                                  FdStream::kBufferSize, 2 * FdStream::kBufferSize + 5}) {
    FdStream in = FdStream::openRead(path);
    std::vector<std::uint8_t> got, block(piece);
    for (ssize_t n; (n = in.read(block.data(), piece)) > 0;) {
      got.insert(got.end(), block.begin(), block.begin() + n);
    }
    EXPECT_EQ(got, content) << piece;
    EXPECT_TRUE(in.atEnd());
    EXPECT_FALSE(in.failed());
  }
  // Seeks forward inside the buffer and past it land on the same bytes.
  FdStream in = FdStream::openRead(path);
  ASSERT_EQ(in.get(), content[0]);
  EXPECT_EQ(in.seek(10, StreamBuffer::Whence::Current), 11);
  EXPECT_EQ(in.get(), content[11]);
  const std::int64_t far = 2 * static_cast<std::int64_t>(FdStream::kBufferSize);
  EXPECT_EQ(in.seek(far, StreamBuffer::Whence::Current), 12 + far);
  EXPECT_EQ(in.get(), content[static_cast<std::size_t>(12 + far)]);
  unlink(path.c_str());
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
  EXPECT_FALSE(in.failed());
  std::vector<std::uint8_t> rest;
  ASSERT_TRUE(readAll(in, rest));
  EXPECT_EQ(rest, std::vector<std::uint8_t>(content.begin() + 1, content.end()));
}

TEST(FdStream, UnreadStepsBackOnlyOverBytesStillHeld) {
  const std::vector<std::uint8_t> content = bytes(100);
  MemorySource source(content);
  std::uint8_t first[10];
  ASSERT_TRUE(source.readExact(first, 10));
  EXPECT_TRUE(source.unread(10));
  EXPECT_FALSE(source.unread(1));
  EXPECT_EQ(source.get(), first[0]);
}

TEST(FdStream, WriteAndCloseFailuresCarryTheirErrno) {
  struct Case {
    const char* path;
    int flags;
    int error;
  };
  const Case cases[] = {
      {"/dev/full", 0, ENOSPC},
      {"/nonexistent/dir/file", O_CREAT, ENOENT},
  };
  for (const Case& c : cases) {
    FdStream out = FdStream::openWrite(c.path, c.flags, 0644);
    const std::vector<std::uint8_t> data = bytes(100);
    EXPECT_EQ(out.write(data.data(), data.size()), -1) << c.path;
    EXPECT_TRUE(out.failed());
    EXPECT_EQ(out.error(), c.error) << c.path;
    EXPECT_FALSE(out.close());
  }
  FdStream failed = FdStream::failedWith(EMFILE);
  EXPECT_FALSE(failed.isOpen());
  EXPECT_EQ(failed.error(), EMFILE);
}

TEST(FdStream, AWriteToAClosedReaderFailsWithEpipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);  // as the installer does
  FdStream out(fds[1], true);
  EXPECT_EQ(out.write("x", 1), -1);
  EXPECT_EQ(out.error(), EPIPE);
}

TEST(MemorySink, FailsAfterItsLimitKeepingWhatFit) {
  MemorySink sink;
  sink.failAfter(5, EIO);
  EXPECT_EQ(sink.write("abc", 3), 3);
  EXPECT_EQ(sink.write("defg", 4), -1);
  EXPECT_EQ(sink.error(), EIO);
  EXPECT_EQ(std::string(sink.bytes().begin(), sink.bytes().end()), "abcde");
}

}  // namespace
}  // namespace vl
