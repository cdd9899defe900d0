#include "installer/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace vl {

// One chunk of a snapshot; the first chunk stands for the whole list. The data area
// follows the header in the same allocation.
class TreeSnapshot {
 public:
  static constexpr std::uint32_t kMarker = 0x5A0937EB;

  std::uint32_t marker = kMarker;
  std::uint32_t capacity;  // filling: size of the data area; filled: bytes held
  std::uint32_t position;  // filling: bytes used; filled: bytes read back
  TreeSnapshot* next = nullptr;

  explicit TreeSnapshot(std::uint32_t size) : capacity(size), position(0) {}

  unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
  std::uint32_t room() const { return capacity - position; }

  static TreeSnapshot* allocate(std::uint32_t size) {
    void* memory = std::malloc(sizeof(TreeSnapshot) + size);
    if (memory == nullptr) return nullptr;
    return new (memory) TreeSnapshot(size);
  }
};

void TreeSnapshotDeleter::operator()(TreeSnapshot* snapshot) const {
  while (snapshot != nullptr) {
    TreeSnapshot* next = snapshot->next;
    snapshot->~TreeSnapshot();
    std::free(snapshot);
    snapshot = next;
  }
}

namespace {

constexpr std::uint32_t kChunkSize = 16000;

// Appends entries to the last chunk of a snapshot, adding chunks as they fill.
class SnapshotWriter {
 public:
  explicit SnapshotWriter(TreeSnapshot* first) : current_(first) {}

  // Paths are never split, so a path that does not fit gets a chunk of its own size.
  [[nodiscard]] bool appendPath(const std::string& path) {
    const std::size_t size = path.size() + 1;
    if (size > current_->room() && !startChunk(static_cast<std::uint32_t>(size))) return false;
    std::memcpy(current_->data() + current_->position, path.c_str(), size);
    current_->position += static_cast<std::uint32_t>(size);
    return true;
  }

  [[nodiscard]] bool appendBytes(const void* bytes, std::size_t size) {
    const auto* from = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
      if (!makeRoom()) return false;
      const std::size_t piece = size < current_->room() ? size : current_->room();
      std::memcpy(current_->data() + current_->position, from, piece);
      current_->position += static_cast<std::uint32_t>(piece);
      from += piece;
      size -= piece;
    }
    return true;
  }

  // The file's bytes up to its end; false on a read error or when they are not exactly
  // size bytes. A file that grows is given up as soon as it passes size.
  [[nodiscard]] bool appendFile(int fd, off_t size) {
    off_t total = 0;
    for (;;) {
      if (!makeRoom()) return false;
      const ssize_t got = read(fd, current_->data() + current_->position, current_->room());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) return total == size;
      current_->position += static_cast<std::uint32_t>(got);
      total += got;
      if (total > size) return false;
    }
  }

  // The last chunk as it is read back: capacity the bytes held, position 0.
  void finish() { seal(current_); }

 private:
  static void seal(TreeSnapshot* chunk) {
    chunk->capacity = chunk->position;
    chunk->position = 0;
  }

  [[nodiscard]] bool makeRoom() { return current_->room() > 0 || startChunk(kChunkSize); }

  [[nodiscard]] bool startChunk(std::uint32_t size) {
    TreeSnapshot* chunk = TreeSnapshot::allocate(size);
    if (chunk == nullptr) return false;
    seal(current_);
    current_->next = chunk;
    current_ = chunk;
    return true;
  }

  TreeSnapshot* current_;
};

bool addPath(SnapshotWriter& writer, const std::string& path);

bool addFile(SnapshotWriter& writer, const std::string& path, const struct stat& status) {
  // Non-blocking, so that a file turned into a pipe since the stat cannot hang the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const bool ok = writer.appendPath(path) && writer.appendBytes(&status, sizeof status) &&
                  writer.appendFile(fd, status.st_size);
  (void)close(fd);
  return ok;
}

bool addDirectory(SnapshotWriter& writer, const std::string& path, const struct stat& status) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return false;
  bool ok = writer.appendPath(path) && writer.appendBytes(&status, sizeof status);
  while (ok) {
    const dirent* entry = readdir(listing);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // The path grows without limit here; one the system cannot hold fails at its stat.
    ok = addPath(writer, path + "/" + entry->d_name);
  }
  (void)closedir(listing);
  return ok;
}

bool addPath(SnapshotWriter& writer, const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  if (S_ISREG(status.st_mode)) return addFile(writer, path, status);
  if (S_ISDIR(status.st_mode)) return addDirectory(writer, path, status);
  return true;  // devices, pipes and sockets are passed over
}

// Reads entries back chunk by chunk; never past the bytes a chunk holds.
class SnapshotReader {
 public:
  explicit SnapshotReader(TreeSnapshot* first) : current_(first) {}

  bool atEnd() {
    skipRead();
    return current_ == nullptr;
  }

  // The path with its zero, which lies whole in one chunk.
  [[nodiscard]] bool readPath(std::string& path) {
    skipRead();
    if (current_ == nullptr) return false;
    const auto* start = reinterpret_cast<const char*>(current_->data() + current_->position);
    const void* end = std::memchr(start, 0, current_->room());
    if (end == nullptr) return false;
    path.assign(start, static_cast<const char*>(end));
    current_->position += static_cast<std::uint32_t>(path.size() + 1);
    return true;
  }

  [[nodiscard]] bool readBytes(void* bytes, std::size_t size) {
    auto* to = static_cast<unsigned char*>(bytes);
    while (size > 0) {
      const std::size_t piece = nextPiece(size);
      if (piece == 0) return false;
      std::memcpy(to, pieceStart_, piece);
      to += piece;
      size -= piece;
    }
    return true;
  }

  // Up to limit bytes as they lie in the current chunk, at pieceStart(); 0 at the end.
  std::size_t nextPiece(std::size_t limit) {
    skipRead();
    if (current_ == nullptr) return 0;
    const std::size_t piece = limit < current_->room() ? limit : current_->room();
    pieceStart_ = current_->data() + current_->position;
    current_->position += static_cast<std::uint32_t>(piece);
    return piece;
  }
  const unsigned char* pieceStart() const { return pieceStart_; }

 private:
  void skipRead() {
    while (current_ != nullptr && current_->room() == 0) current_ = current_->next;
  }

  TreeSnapshot* current_;
  const unsigned char* pieceStart_ = nullptr;
};

void restoreTimes(const std::string& path, const struct stat& status) {
  const timespec times[2] = {status.st_atim, status.st_mtim};
  (void)utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool restoreFile(SnapshotReader& reader, const std::string& path, const struct stat& status) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  auto remaining = static_cast<std::uint64_t>(status.st_size);
  bool ok = true;
  while (ok && remaining > 0) {
    const std::size_t piece =
        reader.nextPiece(static_cast<std::size_t>(remaining < kChunkSize ? remaining : kChunkSize));
    ok = piece > 0 && write(fd, reader.pieceStart(), piece) == static_cast<ssize_t>(piece);
    remaining -= piece;
  }
  if (ok) {
    // Owner first: a change of owner clears the set-user-ID and set-group-ID bits.
    (void)fchown(fd, status.st_uid, status.st_gid);
    (void)fchmod(fd, status.st_mode & 07777);
  }
  (void)close(fd);
  return ok;
}

bool restoreDirectory(const std::string& path, const struct stat& status) {
  if (mkdir(path.c_str(), 0700) != 0) return false;
  (void)chown(path.c_str(), status.st_uid, status.st_gid);
  (void)chmod(path.c_str(), status.st_mode & 07777);
  return true;
}

bool restoreEntries(SnapshotReader& reader,
                    std::vector<std::pair<std::string, struct stat>>& directories) {
  std::string path;
  while (!reader.atEnd()) {
    struct stat status {};
    if (!reader.readPath(path) || !reader.readBytes(&status, sizeof status)) return false;
    if (S_ISREG(status.st_mode)) {
      if (!restoreFile(reader, path, status)) return false;
      restoreTimes(path, status);
    } else if (S_ISDIR(status.st_mode)) {
      if (!restoreDirectory(path, status)) return false;
      directories.emplace_back(path, status);
    }
  }
  return true;
}

// The user's choice for one package directory of the old database; false when it made
// none.
bool readChoice(const char* name, UserChoice& choice) {
  char path[128];
  int length = std::snprintf(path, sizeof path, "/flash/var/pdb/%s/enabled", name);
  // A cut path could name the package directory itself, which opens too.
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return false;
  choice.name = name;
  if (FILE* file = std::fopen(path, "re")) {
    (void)std::fclose(file);
    choice.disabled = false;
    return true;
  }
  length = std::snprintf(path, sizeof path, "/flash/var/pdb/%s/disabled", name);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return false;
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char line[16];
  // Only a package that the user disabled keeps its state; automatic ones are decided
  // again by the planner.
  const bool byUser =
      std::fgets(line, sizeof line, file) != nullptr && std::strncmp(line, "user", 4) == 0;
  (void)std::fclose(file);
  choice.disabled = true;
  return byUser;
}

}  // namespace

TreeSnapshotPtr snapshotTree(const std::string& path) {
  TreeSnapshotPtr first(TreeSnapshot::allocate(kChunkSize));
  if (!first) return nullptr;
  SnapshotWriter writer(first.get());
  if (!addPath(writer, path)) return nullptr;
  writer.finish();
  return first;
}

bool restoreTree(TreeSnapshotPtr snapshot) {
  if (!snapshot || snapshot->marker != TreeSnapshot::kMarker) {
    // Not a snapshot of ours: its memory is not ours to free either.
    (void)snapshot.release();
    return false;
  }
  // The snapshot is freed on every return from here.
  SnapshotReader reader(snapshot.get());
  std::vector<std::pair<std::string, struct stat>> directories;
  const bool ok = restoreEntries(reader, directories);
  // Each entry written into a directory changes its times: they are set once it is
  // full, deepest first.
  for (auto entry = directories.rbegin(); entry != directories.rend(); ++entry) {
    restoreTimes(entry->first, entry->second);
  }
  return ok;
}

void readPackageChoices(UserChoices& choices) {
  choices.clear();
  DIR* listing = opendir("/flash/var/pdb");
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    UserChoice choice;
    if (readChoice(entry->d_name, choice)) choices.emplace(choice.name, choice);
  }
  (void)closedir(listing);
}

}  // namespace vl
