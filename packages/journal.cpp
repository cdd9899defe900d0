#include "packages/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/times.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vl {
namespace {

constexpr std::size_t kCopyBlock = 16384;
constexpr clock_t kSpinnerTicks = 20;
constexpr char kSpinner[4] = {'|', '/', '-', '\\'};

// The copy spinner belongs to the process: it carries on from one copy to the next.
struct Spinner {
  bool started = false;
  int index = 0;
  clock_t stepTime = 0;
};
Spinner gSpinner;

clock_t ticksNow() {
  struct tms unused;
  return times(&unused);
}

void writeText(int fd, const std::string& text) { (void)writeAllTo(fd, text); }

void spinFirst(int fd) {
  if (!gSpinner.started) {
    gSpinner.started = true;
    gSpinner.stepTime = ticksNow();
  }
  writeText(fd, std::string(1, kSpinner[gSpinner.index]));
}

void spinStep(int fd) {
  if (ticksNow() - gSpinner.stepTime <= kSpinnerTicks) return;
  gSpinner.stepTime += kSpinnerTicks;
  gSpinner.index = (gSpinner.index + 1) % 4;
  writeText(fd, std::string("\b") + kSpinner[gSpinner.index]);
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void createDirectory(const std::string& dir) {
  if (dir.empty() || dir == "/" || dir == ".") return;
  if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return;
  createDirectory(parentOf(dir));
  (void)mkdir(dir.c_str(), 0777);
}

// The directory for a temporary file of sizeHint bytes headed for target.
std::string temporaryDirectory(const std::string& target, std::uint64_t sizeHint) {
  if (sizeHint == 0) return access("/ram", F_OK) == 0 ? "/ram" : "/tmp";
  std::string dir = target;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  dir = parentOf(dir);
  while (!dir.empty() && dir != "/" && dir != ".") {
    struct statfs fs {};
    if (statfs(dir.c_str(), &fs) == 0) {
      const std::uint64_t room = std::uint64_t(fs.f_bsize) * std::uint64_t(fs.f_bfree);
      return sizeHint + sizeHint / 10 < room ? dir : "/ram";
    }
    dir = parentOf(dir);
  }
  return "/ram";
}

// Removes a directory's visible files, then the directory if that left it empty.
void removeDirectory(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '\0' && entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  for (const std::string& name : names) (void)unlink((path + "/" + name).c_str());
  (void)rmdir(path.c_str());
}

// The cross-device move: a regular file copied block by block. Returns 0 or the errno.
int copyFile(const std::string& source, const std::string& target, bool spinner, int spinnerFd) {
  struct stat st {};
  if (stat(source.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  // The copy keeps the staged file's permissions, as the rename would have.
  const int out =
      open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    const int error = errno;
    close(in);
    return error;
  }
  (void)fchmod(out, st.st_mode & 07777);
  std::vector<char> block(kCopyBlock);
  int error = 0;
  bool first = true;
  for (;;) {
    const ssize_t n = read(in, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    if (spinner) first ? spinFirst(spinnerFd) : spinStep(spinnerFd);
    first = false;
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(n) && error == 0) {
      const ssize_t w = write(out, block.data() + done, static_cast<std::size_t>(n) - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) error = w < 0 ? errno : ENOSPC;
      if (w > 0) done += static_cast<std::size_t>(w);
    }
    if (error != 0) break;
  }
  close(in);
  if (close(out) != 0 && error == 0) error = errno;
  return error;
}

// Splits a listing line at blanks into at most three words; the third keeps the rest.
std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (words.size() < 3) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    if (words.size() == 2) {
      words.push_back(line.substr(i));
      break;
    }
    const std::size_t end = std::min(line.find(' ', i), line.size());
    words.push_back(line.substr(i, end - i));
    i = end;
  }
  return words;
}

}  // namespace

void createParentDirectories(const std::string& path) { createDirectory(parentOf(path)); }

const ChangeJournal::Entry* ChangeJournal::find(const std::string& path) const {
  const auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : &it->second;
}

void ChangeJournal::record(const std::string& path, Kind kind, std::string source) {
  const auto it = entries_.find(path);
  if (it == entries_.end()) {
    entries_.emplace(path, Entry{kind, std::move(source)});
    return;
  }
  if (it->second.kind == Kind::StagedFile) (void)unlink(it->second.source.c_str());
  it->second = Entry{kind, std::move(source)};
}

FdStream ChangeJournal::stageFile(const std::string& target, std::uint64_t sizeHint, mode_t mode) {
  std::string temp = temporaryDirectory(target, sizeHint) + "/tmpXXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return FdStream::failedWith(errno);
  (void)close(fd);
  if (mode != 0) (void)chmod(temp.c_str(), mode & 07777);
  record(target, Kind::StagedFile, temp);
  return FdStream::openWrite(temp, O_TRUNC, 0600);
}

void ChangeJournal::stageRemove(const std::string& path) {
  struct stat st {};
  // lstat: a dangling symbolic link is still something to remove.
  if (lstat(path.c_str(), &st) == 0) {
    record(path, Kind::Removal, std::string());
    return;
  }
  const auto it = entries_.find(path);
  if (it == entries_.end()) return;
  // The staged contents will never be used: do not leave them in RAM or on flash.
  if (it->second.kind == Kind::StagedFile) (void)unlink(it->second.source.c_str());
  entries_.erase(it);
}

void ChangeJournal::stageMove(const std::string& source, const std::string& target) {
  record(target, Kind::Move, source);
}

void ChangeJournal::stageSymlink(const std::string& linkTarget, const std::string& linkPath) {
  record(linkPath, Kind::Symlink, linkTarget);
}

bool ChangeJournal::dirUsable(const std::string& path) {
  const auto it = entries_.find(path);
  if (it != entries_.end()) {
    if (it->second.kind != Kind::Removal) return false;
    entries_.erase(it);
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISDIR(st.st_mode);
}

void ChangeJournal::printError(const char* prefix, int error) const {
  writeText(errorFd_, std::string(prefix) + ": " + std::strerror(error) + "\n");
}

void ChangeJournal::commitMove(const std::string& target, const Entry& entry, bool spinner) {
  createParentDirectories(target);
  if (rename(entry.source.c_str(), target.c_str()) == 0) return;
  int error = errno;
  if (error == EXDEV) error = copyFile(entry.source, target, spinner, spinnerFd_);
  if (error != 0) printError("rename", error);
  // A temporary file has served its purpose, copied or not: once the journal is cleared
  // nothing would delete it, and it would stay on flash or in RAM for good. A moved file
  // stays where it was.
  if (entry.kind == Kind::StagedFile) (void)unlink(entry.source.c_str());
}

void ChangeJournal::commit(const std::string& firstPath, bool spinner) {
  if (!firstPath.empty()) {
    const auto it = entries_.find(firstPath);
    if (it != entries_.end() &&
        (it->second.kind == Kind::Move || it->second.kind == Kind::StagedFile)) {
      createParentDirectories(firstPath);
      if (rename(it->second.source.c_str(), firstPath.c_str()) == 0) entries_.erase(it);
    }
  }
  for (const auto& [path, entry] : entries_) {
    if (entry.kind == Kind::Removal) {
      if (unlink(path.c_str()) != 0 && errno == EISDIR) removeDirectory(path);
    } else if (entry.kind == Kind::Symlink) {
      createParentDirectories(path);
      (void)unlink(path.c_str());
      if (symlink(entry.source.c_str(), path.c_str()) != 0) printError("symlink", errno);
    }
  }
  for (const auto& [path, entry] : entries_) {
    if (entry.kind == Kind::Move || entry.kind == Kind::StagedFile)
      commitMove(path, entry, spinner);
  }
}

void ChangeJournal::abort() {
  for (const auto& [path, entry] : entries_) {
    if (entry.kind == Kind::StagedFile) (void)unlink(entry.source.c_str());
  }
  entries_.clear();
}

bool ChangeJournal::writeListing(const std::string& path) const {
  std::string text;
  for (const auto& [target, entry] : entries_) {
    switch (entry.kind) {
      case Kind::Removal:
        text += "U " + target + "\n";
        break;
      case Kind::Symlink:
        text += "L " + target + " " + entry.source + "\n";
        break;
      case Kind::Move:
      case Kind::StagedFile:
        text += "M " + target + " " + entry.source + "\n";
        break;
    }
  }
  FdStream out = FdStream::openWrite(path, O_CREAT | O_TRUNC, 0644);
  if (!out.isOpen()) return false;
  if (out.write(text.data(), text.size()) < 0) return false;
  return out.close();
}

bool ChangeJournal::readListing(const std::string& path) {
  FdStream in = FdStream::openRead(path);
  std::vector<std::uint8_t> bytes;
  if (!in.isOpen() || !readAll(in, bytes)) return false;
  const std::string text(bytes.begin(), bytes.end());
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) return true;
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) continue;
    const std::string& kind = words[0];
    if (kind != "U" && kind != "L" && kind != "M") continue;
    if (words.size() < (kind == "U" ? 2u : 3u)) return false;
    if (kind == "U") record(words[1], Kind::Removal, std::string());
    if (kind == "L") record(words[1], Kind::Symlink, words[2]);
    if (kind == "M") record(words[1], Kind::Move, words[2]);
  }
  return !entries_.empty();
}

}  // namespace vl
