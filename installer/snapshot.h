// What survives a format when the server asks to keep the configuration: file trees held
// in memory while the flash is erased, and the user's package choices.
#pragma once

#include <memory>
#include <string>

#include "packages/install.h"

namespace vl {

class TreeSnapshot;

struct TreeSnapshotDeleter {
  void operator()(TreeSnapshot* snapshot) const;
};
using TreeSnapshotPtr = std::unique_ptr<TreeSnapshot, TreeSnapshotDeleter>;

// A copy of the file or directory tree at path; null when it cannot be examined, read or
// copied whole.
TreeSnapshotPtr snapshotTree(const std::string& path);

// Writes every entry back at the path it was read from. False at the first entry that
// cannot be written, or for a snapshot without its marker.
[[nodiscard]] bool restoreTree(TreeSnapshotPtr snapshot);

// The enabled and user-disabled packages of the old database under "/flash/var/pdb".
void readPackageChoices(UserChoices& choices);

}  // namespace vl
