// Stream buffers that the package reader and the decompressing stream stack on one
// another over a pipe or a file. No iostreams: the static board binary must stay small.
//
// Reading is buffered: a stream exposes the bytes it holds now as a get area
// (`buffered()`), and its `underflow()` refills that area. Stacked streams read from the
// get area of the stream below without copying, which is how the package reader can
// hash, copy and inflate one pass of a pipe with a single copy out of the kernel.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

class StreamBuffer {
 public:
  enum class Whence { Begin, Current, End };

  virtual ~StreamBuffer() = default;
  StreamBuffer(const StreamBuffer&) = delete;
  StreamBuffer& operator=(const StreamBuffer&) = delete;

  // Reads at most size bytes; returns the count, 0 at the end of the stream, -1 on
  // failure (then failed() is true and error() holds the errno, if any).
  [[nodiscard]] virtual ssize_t read(void* data, std::size_t size);
  // Writes all size bytes or fails; returns size, or -1 (failed() and error() set).
  [[nodiscard]] virtual ssize_t write(const void* data, std::size_t size);
  // Moves the read position; returns the new position, or -1 when the stream cannot
  // seek (a pipe). A failed seek consumes nothing and leaves the state as it was.
  [[nodiscard]] virtual std::int64_t seek(std::int64_t offset, Whence whence);

  // The bytes ready to be read, refilled by underflow() when empty; empty at the end
  // of the stream or on failure. Valid until the next call that reads or seeks.
  std::span<const std::uint8_t> buffered();
  // Marks n bytes of buffered() as read (n is at most its size).
  void consume(std::size_t n);
  // Steps back over n bytes of the current get area, so they are read again. Possible
  // only while they are still there; false (and nothing changed) otherwise.
  [[nodiscard]] bool unread(std::size_t n);

  // Reads exactly size bytes; a short read sets the failed state (and end when the
  // stream ended) and returns false. data is then partly written.
  [[nodiscard]] bool readExact(void* data, std::size_t size);
  // Reads the next byte; -1 at end or on failure.
  int get();

  bool failed() const { return failed_; }
  bool atEnd() const { return atEnd_; }
  bool good() const { return !failed_ && !atEnd_; }
  // errno of the failure that set the failed state; 0 when none was recorded.
  int error() const { return error_; }
  // Clears failed, end and the recorded errno.
  void clearState();

 protected:
  StreamBuffer() = default;

  // Makes new bytes available with setGetArea(); false at end (after setEnd()) or on
  // failure (after setFailed()). Called only when the get area is empty.
  virtual bool underflow();

  void setGetArea(const std::uint8_t* begin, const std::uint8_t* end);
  std::size_t getAreaSize() const { return static_cast<std::size_t>(getEnd_ - getCur_); }
  void setFailed(int error = 0);
  void setEnd() { atEnd_ = true; }
  // Drops what is left of the get area (a seek made it stale).
  void dropGetArea() { getBegin_ = getCur_ = getEnd_ = nullptr; }

 private:
  const std::uint8_t* getBegin_ = nullptr;
  const std::uint8_t* getCur_ = nullptr;
  const std::uint8_t* getEnd_ = nullptr;
  bool failed_ = false;
  bool atEnd_ = false;
  int error_ = 0;
};

// A file descriptor: a file, a pipe or a terminal. Reads through a 64 KiB buffer (a
// pipe's whole capacity, so a busy writer costs the reader fewer calls);
// writes go straight to the descriptor (callers write in blocks). Owns the descriptor
// unless told otherwise.
class FdStream final : public StreamBuffer {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  FdStream() = default;
  FdStream(int fd, bool owned);
  ~FdStream() override;
  FdStream(FdStream&& other) noexcept;
  FdStream& operator=(FdStream&& other) noexcept;

  // A stream opened with open(2); on failure the stream is failed with the errno and
  // isOpen() is false.
  static FdStream openRead(const std::string& path);
  static FdStream openWrite(const std::string& path, int flags, mode_t mode);
  // A stream that is failed from the start with error, for an open that could not be made.
  static FdStream failedWith(int error);

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Closes an owned descriptor; false (failed(), error()) when close reports an error,
  // which on a full file system can be the first sign of lost data.
  [[nodiscard]] bool close();

  ssize_t read(void* data, std::size_t size) override;
  ssize_t write(const void* data, std::size_t size) override;
  std::int64_t seek(std::int64_t offset, Whence whence) override;

 protected:
  bool underflow() override;

 private:
  void moveFrom(FdStream& other) noexcept;

  int fd_ = -1;
  bool owned_ = false;
  std::vector<std::uint8_t> buffer_;  // allocated on the first buffered read
};

// Bytes held in memory, read without copying: package files in tests, the tool's
// own output read back. The bytes must outlive the stream.
class MemorySource final : public StreamBuffer {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes);
  MemorySource(const void* data, std::size_t size);

  std::int64_t seek(std::int64_t offset, Whence whence) override;

 protected:
  bool underflow() override;

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;  // bytes handed to the get area so far
};

// A write sink that collects bytes in memory; can be told to fail after a number of
// bytes, with an errno, to stand for a full disk in tests.
class MemorySink final : public StreamBuffer {
 public:
  MemorySink() = default;

  ssize_t write(const void* data, std::size_t size) override;

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  void failAfter(std::size_t limit, int error) {
    limit_ = limit;
    limitError_ = error;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t limit_ = SIZE_MAX;
  int limitError_ = 0;
};

// Reads the whole of a stream into bytes; false on failure.
[[nodiscard]] bool readAll(StreamBuffer& stream, std::vector<std::uint8_t>& out);

// Writes all of text to a descriptor, retrying after signals; false on the first failure.
bool writeAllTo(int fd, std::string_view text);

}  // namespace vl
