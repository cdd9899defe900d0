#include "streams/stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vl {

ssize_t StreamBuffer::read(void* data, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < size) {
    const std::span<const std::uint8_t> ready = buffered();
    if (ready.empty()) break;
    const std::size_t n = std::min(ready.size(), size - done);
    std::memcpy(out + done, ready.data(), n);
    consume(n);
    done += n;
  }
  if (done == 0 && failed_) return -1;
  return static_cast<ssize_t>(done);
}

ssize_t StreamBuffer::write(const void*, std::size_t) {
  setFailed(EBADF);
  return -1;
}

std::int64_t StreamBuffer::seek(std::int64_t, Whence) { return -1; }

std::span<const std::uint8_t> StreamBuffer::buffered() {
  if (getCur_ == getEnd_) {
    if (failed_ || atEnd_ || !underflow()) return {};
  }
  return {getCur_, static_cast<std::size_t>(getEnd_ - getCur_)};
}

void StreamBuffer::consume(std::size_t n) { getCur_ += std::min(n, getAreaSize()); }

bool StreamBuffer::unread(std::size_t n) {
  if (n > static_cast<std::size_t>(getCur_ - getBegin_)) return false;
  getCur_ -= n;
  return true;
}

bool StreamBuffer::readExact(void* data, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = read(out + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done == size) return true;
  setFailed(error_);
  return false;
}

int StreamBuffer::get() {
  const std::span<const std::uint8_t> ready = buffered();
  if (ready.empty()) return -1;
  consume(1);
  return ready[0];
}

void StreamBuffer::clearState() {
  failed_ = false;
  atEnd_ = false;
  error_ = 0;
}

bool StreamBuffer::underflow() {
  setEnd();
  return false;
}

void StreamBuffer::setGetArea(const std::uint8_t* begin, const std::uint8_t* end) {
  getBegin_ = begin;
  getCur_ = begin;
  getEnd_ = end;
}

void StreamBuffer::setFailed(int error) {
  failed_ = true;
  if (error != 0) error_ = error;
}

// FdStream

FdStream::FdStream(int fd, bool owned) : fd_(fd), owned_(owned) {}

FdStream::~FdStream() {
  if (owned_ && fd_ >= 0) (void)::close(fd_);
}

FdStream::FdStream(FdStream&& other) noexcept : StreamBuffer() { moveFrom(other); }

FdStream& FdStream::operator=(FdStream&& other) noexcept {
  if (this == &other) return *this;
  if (owned_ && fd_ >= 0) (void)::close(fd_);
  moveFrom(other);
  return *this;
}

void FdStream::moveFrom(FdStream& other) noexcept {
  fd_ = std::exchange(other.fd_, -1);
  owned_ = std::exchange(other.owned_, false);
  // The get area points into the buffer, which moves with its heap block intact.
  const std::span<const std::uint8_t> rest =
      other.getAreaSize() ? other.buffered() : std::span<const std::uint8_t>{};
  buffer_ = std::move(other.buffer_);
  setGetArea(rest.data(), rest.data() + rest.size());
  clearState();
  if (other.failed()) setFailed(other.error());
  if (other.atEnd()) setEnd();
  other.dropGetArea();
}

FdStream FdStream::openRead(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FdStream stream(fd, true);
  if (fd < 0) stream.setFailed(errno);
  return stream;
}

FdStream FdStream::openWrite(const std::string& path, int flags, mode_t mode) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, mode);
  FdStream stream(fd, true);
  if (fd < 0) stream.setFailed(errno);
  return stream;
}

FdStream FdStream::failedWith(int error) {
  FdStream stream;
  stream.setFailed(error);
  return stream;
}

bool FdStream::close() {
  if (fd_ < 0) return !failed();
  const int fd = std::exchange(fd_, -1);
  dropGetArea();
  if (!owned_) return !failed();
  if (::close(fd) != 0) setFailed(errno);
  return !failed();
}

ssize_t FdStream::read(void* data, std::size_t size) {
  // Large reads with nothing buffered go straight to the caller's memory.
  if (getAreaSize() == 0 && size >= kBufferSize && fd_ >= 0 && !failed() && !atEnd()) {
    for (;;) {
      const ssize_t n = ::read(fd_, data, size);
      if (n > 0) return n;
      if (n == 0) {
        setEnd();
        return 0;
      }
      if (errno == EINTR) continue;
      setFailed(errno);
      return -1;
    }
  }
  return StreamBuffer::read(data, size);
}

bool FdStream::underflow() {
  if (fd_ < 0) {
    setFailed(EBADF);
    return false;
  }
  if (buffer_.empty()) buffer_.resize(kBufferSize);
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n > 0) {
      setGetArea(buffer_.data(), buffer_.data() + n);
      return true;
    }
    if (n == 0) {
      setEnd();
      return false;
    }
    if (errno == EINTR) continue;
    setFailed(errno);
    return false;
  }
}

ssize_t FdStream::write(const void* data, std::size_t size) {
  // A stream that already failed keeps the errno of that first failure (an open that
  // could not be made, a full disk): that is the cause worth reporting.
  if (failed()) return -1;
  if (fd_ < 0) {
    setFailed(EBADF);
    return -1;
  }
  const auto* in = static_cast<const std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, in + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A zero-byte write of a non-empty block means the device took nothing: full.
    setFailed(n < 0 ? errno : ENOSPC);
    return -1;
  }
  return static_cast<ssize_t>(size);
}

std::int64_t FdStream::seek(std::int64_t offset, Whence whence) {
  if (fd_ < 0) return -1;
  const std::int64_t buffered = static_cast<std::int64_t>(getAreaSize());
  if (whence == Whence::Current && offset >= 0 && offset <= buffered) {
    // Within the buffer; the position is that of the descriptor less what is unread.
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return -1;  // a pipe: the caller reads through instead
    consume(static_cast<std::size_t>(offset));
    return at - buffered + offset;
  }
  const int how = whence == Whence::Begin ? SEEK_SET : whence == Whence::End ? SEEK_END : SEEK_CUR;
  const std::int64_t adjusted = whence == Whence::Current ? offset - buffered : offset;
  const off_t at = ::lseek(fd_, static_cast<off_t>(adjusted), how);
  if (at < 0) return -1;
  dropGetArea();
  clearState();
  return at;
}

// MemorySource

MemorySource::MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

MemorySource::MemorySource(const void* data, std::size_t size)
    : bytes_(static_cast<const std::uint8_t*>(data), size) {}

bool MemorySource::underflow() {
  if (position_ >= bytes_.size()) {
    setEnd();
    return false;
  }
  setGetArea(bytes_.data() + position_, bytes_.data() + bytes_.size());
  position_ = bytes_.size();
  return true;
}

std::int64_t MemorySource::seek(std::int64_t offset, Whence whence) {
  const std::int64_t size = static_cast<std::int64_t>(bytes_.size());
  const std::int64_t here = static_cast<std::int64_t>(position_ - getAreaSize());
  const std::int64_t base = whence == Whence::Begin ? 0 : whence == Whence::End ? size : here;
  const std::int64_t target = base + offset;
  if (target < 0 || target > size) return -1;
  position_ = static_cast<std::size_t>(target);
  dropGetArea();
  clearState();
  return target;
}

// MemorySink

ssize_t MemorySink::write(const void* data, std::size_t size) {
  if (failed()) return -1;
  const auto* in = static_cast<const std::uint8_t*>(data);
  const std::size_t room = limit_ > bytes_.size() ? limit_ - bytes_.size() : 0;
  bytes_.insert(bytes_.end(), in, in + std::min(size, room));
  if (size > room) {
    setFailed(limitError_);
    return -1;
  }
  return static_cast<ssize_t>(size);
}

bool readAll(StreamBuffer& stream, std::vector<std::uint8_t>& out) {
  for (;;) {
    const std::span<const std::uint8_t> ready = stream.buffered();
    if (ready.empty()) return !stream.failed();
    out.insert(out.end(), ready.begin(), ready.end());
    stream.consume(ready.size());
  }
}

bool writeAllTo(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vl
