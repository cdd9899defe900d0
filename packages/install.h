// Installing package files: one package or bundle read once from a stream while a copy
// of every byte goes to flash, checked with the planner, unpacked, verified against its
// signature and recorded in the package database, all staged in the change journal. And
// the upgrade of a running system from package files left in its package folders.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "packages/database.h"
#include "packages/journal.h"
#include "packages/part_reader.h"
#include "packages/planner.h"
#include "streams/stream.h"

namespace vl {

// The state the user chose for a package on the previous installation.
struct UserChoice {
  std::string name;
  bool disabled = false;
};
// By package name, in byte-wise order.
using UserChoices = std::map<std::string, UserChoice>;

// Results of installFromStream and installBundle.
enum class InstallResult {
  Installed = 0,
  Failed = 1,  // failed or broken
  Refused = 2,
  EmptyBundle = 3,
};

// What a bundle's members are tied to: the bundle's name and release.
struct BundleBound {
  std::string name;
  Version minimum = 0;
  Version maximum = 0;
  std::int32_t priority = 0;
};

// Where installation puts things, and the environment it reads.
inline constexpr const char* kImageCopyPath = "/flash/image";
inline constexpr const char* kUpgradedMarker = "/flash/UPGRADED";
inline constexpr const char* kBrandingMarker = "/flash/BRANDING_INSTALLED";
inline constexpr const char* kDisabledRoot = "/x/";  // under the install root
inline constexpr const char* kBootImageVariable = "bootimage";
inline constexpr const char* kDowngradeMarker = "/ram/DOWNGRADE";
inline constexpr const char* kPostLogPath = "/flash/postlog";

// Outputs of an install: the package directory ("/flash/var/pdb/<name>/") when the
// package has an image part, and whether its copy is the boot image. Set only for a
// package that was installed now and whose signature checked out: the copy of anything
// else (a release already installed among them) is unverified and must not be kept.
struct InstallOutputs {
  std::string imagePath;
  bool bootImage = false;
};

// Reads one package file from source. The caller commits the journal on Installed and
// aborts it otherwise; nothing here commits or aborts. copySink, when given, receives
// every byte read. outputs is left untouched unless the result is Installed.
InstallResult installFromStream(Planner& planner, ChangeJournal& journal, StreamBuffer& source,
                                std::uint32_t allowed, const UserChoices& choices,
                                StreamBuffer* copySink, InstallOutputs& outputs);

// One package, or one member of a bundle when bound is given, from a reader at its
// header part. The name of the record installed now, or already installed; none when
// the package was refused, broken or failed. outputs are set only when it was installed
// now.
std::optional<std::string> installPackage(Planner& planner, ChangeJournal& journal,
                                          PartReader& reader, std::uint32_t allowed,
                                          const UserChoices& choices, const BundleBound* bound,
                                          InstallOutputs& outputs);

// A bundle from a reader at its bundle header part.
InstallResult installBundle(Planner& planner, ChangeJournal& journal, PartReader& reader,
                            std::uint32_t allowed, const UserChoices& choices,
                            InstallOutputs& outputs);

// The image, the files and the signature of a parsed package, then its database entry
// and marker files.
[[nodiscard]] bool installPackageContents(Repository& repository, Package& record,
                                          ChangeJournal& journal, PartReader& reader);

// Where an archive entry of the package is unpacked: under "/flash", or "/flash/x/<name>"
// for a disabled package. None when the entry's name would leave that tree (a ".."
// component, a control character, no name at all) or would pass through a symbolic link, on flash
// or staged in journal, that leads outside "/flash".
std::optional<std::string> unpackTarget(const Package& record, const std::string& entryName,
                                        const ChangeJournal& journal);

// What one package may stage before its signature is checked, on a board with 32 MiB of
// RAM: its files' names live in memory twice (journal and record) and its temporary
// files in "/ram" until the signature decides.
inline constexpr std::size_t kMaxStagedFiles = 8192;
inline constexpr std::size_t kMaxEntryNameLength = 1024;
inline constexpr std::size_t kMaxStagedNameBytes = 512 * 1024;
inline constexpr std::uint64_t kMaxStagedDataBytes = 64ull * 1024 * 1024;

// Installs the package files found in the download folder or the package folders on
// flash, newest release of each first, and enables again what the user had enabled.
// false when an install failed (the journal is then aborted).
bool upgradeFromFolders(Planner& planner, ChangeJournal& journal, std::uint32_t allowed);

}  // namespace vl
