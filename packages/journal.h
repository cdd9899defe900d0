// The change journal: every file change of a package installation is staged here,
// keyed by its target path, and carried out by one commit in a fixed order. Nothing on
// flash changes in place while a package is read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "streams/stream.h"

namespace vl {

class ChangeJournal {
 public:
  enum class Kind : std::uint32_t { Move = 0, StagedFile = 1, Symlink = 3, Removal = 4 };

  struct Entry {
    Kind kind = Kind::Removal;
    // Move: the existing file; staged file: its temporary file; link: the link's target
    // text; removal: empty.
    std::string source;

    bool operator==(const Entry&) const = default;
  };

  ChangeJournal() = default;
  ChangeJournal(const ChangeJournal&) = delete;
  ChangeJournal& operator=(const ChangeJournal&) = delete;

  // Creates a temporary file for the new contents of target (on target's own file
  // system when it has room for sizeHint plus ten per cent, else in RAM), records it,
  // and returns a stream that writes it from the start. A failure shows as a failed
  // stream carrying the errno.
  FdStream stageFile(const std::string& target, std::uint64_t sizeHint, mode_t mode);
  // Records the removal of path; a path that does not exist only drops its entry.
  void stageRemove(const std::string& path);
  void stageMove(const std::string& source, const std::string& target);
  void stageSymlink(const std::string& linkTarget, const std::string& linkPath);
  // Whether path may be used as a directory; cancels a staged removal of it.
  [[nodiscard]] bool dirUsable(const std::string& path);

  // Carries out every entry: firstPath's move first (when given), then removals and
  // links, then moves and staged files, each group in path order. A failed step is
  // reported on the error output and the commit goes on. Entries stay; clear() them.
  void commit(const std::string& firstPath, bool spinner);
  // Deletes every staged temporary file and empties the journal.
  void abort();
  // Empties the journal without touching any file (after a commit).
  void clear() { entries_.clear(); }

  // The "U "/"L "/"M " change listing.
  [[nodiscard]] bool writeListing(const std::string& path) const;
  [[nodiscard]] bool readListing(const std::string& path);

  const std::map<std::string, Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  const Entry* find(const std::string& path) const;

  // Where commit prints its failures (perror style) and the copy spinner.
  void setOutput(int errorFd, int spinnerFd) {
    errorFd_ = errorFd;
    spinnerFd_ = spinnerFd;
  }

 private:
  void record(const std::string& path, Kind kind, std::string source);
  void commitMove(const std::string& target, const Entry& entry, bool spinner);
  void printError(const char* prefix, int error) const;

  std::map<std::string, Entry> entries_;
  int errorFd_ = 2;
  int spinnerFd_ = 1;
};

// Creates the parent directories of path (mode 0777, best effort).
void createParentDirectories(const std::string& path);

}  // namespace vl
