// The package manifest of the pellpkg tool: a small JSON file that names a package's
// header fields and relations, the directory tree that becomes its files archive, an
// optional image, and for a bundle its members and choice list.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/pellpkg/builder.h"

namespace vl::pkgbuild {

struct Manifest {
  bool isBundle = false;
  PackageSource package;               // a package, or the bundle's own header parts
  std::vector<PackageSource> members;  // bundles only
  std::optional<std::vector<Relation>> choices;
};

// Reads the manifest at path; relative paths inside it are relative to its directory.
// defaultBuildTime is used where the manifest gives none.
std::optional<Manifest> loadManifest(const std::string& path, std::uint32_t defaultBuildTime,
                                     std::string& error);

// The archive entries of a directory tree: regular files with their data and modes,
// directories and symbolic links as entries the installer passes over. Sorted by path.
std::optional<std::vector<ArchiveFile>> readTree(const std::string& root, std::string& error);

}  // namespace vl::pkgbuild
