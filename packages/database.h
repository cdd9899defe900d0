// The package database: one directory per installed package under "/flash/var/pdb/",
// pending actions under "/ram/pdb/", and in memory the Repository with the console
// reporter through which every package message is printed.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "packages/journal.h"
#include "packages/package_file.h"
#include "packages/part_reader.h"

namespace vl {

inline constexpr const char* kDatabaseDir = "/flash/var/pdb/";
inline constexpr const char* kScheduleDir = "/ram/pdb/";
inline constexpr const char* kImagesDir = "/rw/pckg/.images/";
inline constexpr const char* kBootImagePath = "/flash/bootimage";
// The root of the installed system on flash.
inline constexpr const char* kInstallRoot = "/flash";

enum class PendingAction : std::uint32_t { None = 0, Uninstall = 1, Enable = 2, Disable = 3 };

// "uninstall", "enable", "disable"; empty for None.
const char* actionName(PendingAction action);

struct Package : PackageInfo {
  // Owned paths, relative to the installed system's root with a leading "/": "/bin/x"
  // for the file "/flash/bin/x", "/x/<name>/bin/x" for a disabled package's. The files
  // file keeps them without the first "/". Install records ownedPath(target) and
  // removePackage removes installedPath(path), so the two always meet.
  std::set<std::string> files;
  std::string bundleName;  // empty outside bundles
  Version bundleMinimum = 0;
  Version bundleMaximum = 0;
  std::int32_t bundlePriority = 0;
  bool disabled = false;
  bool userForced = false;
  PendingAction pending = PendingAction::None;

  // Version and build time both 0xFFFFFFFF: a record that takes part in no relation.
  bool isPlaceholder() const { return version == 0xFFFFFFFF && buildTime == 0xFFFFFFFF; }
  // How messages name the package: name-version, or for a bundle member its bundle's
  // bound text.
  std::string displayName() const;
  // "/flash/var/pdb/<name>", without a trailing "/": the journal key of the directory
  // (dirUsable, its removal); its files are directory() + "/version" and so on.
  std::string directory() const;
};

// Package messages on the console, with one status line that stays below them.
class Reporter {
 public:
  static constexpr std::size_t kMessageLimit = 255;
  static constexpr std::size_t kProgressWidth = 76;

  explicit Reporter(int fd = 1) : fd_(fd) {}

  void setOutput(int fd) { fd_ = fd; }
  void setQuiet(bool quiet) { quiet_ = quiet; }
  bool quiet() const { return quiet_; }

  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void setStatus(const std::string& text);
  // text and a bar of the reader's position against its total, as the status line.
  void showProgress(const std::string& text, const PartReader& reader);
  // The error for a failed write while installing package, from the errno of the
  // failure: a full disk, a disk error, or the name that could not be created.
  void reportWriteFailure(const Package& package, const std::string& name, int error);

  const std::string& status() const { return status_; }
  const std::vector<std::string>& messages() const { return messages_; }
  // Earlier messages carried over (the upgrade reads its log into them).
  void addMessage(std::string message) { messages_.push_back(std::move(message)); }
  // Text as it is, for the listings (nothing when quiet).
  void write(std::string_view text) const {
    if (!quiet_) put(text);
  }

 private:
  void emit(const char* prefix, bool clearStatus, const char* format, va_list args);
  void put(std::string_view text) const;

  int fd_;
  bool quiet_ = false;
  std::string status_;
  std::vector<std::string> messages_;
};

// The progress bar text that showProgress() shows; the bar stays within its width
// whatever the reader's position.
std::string progressText(const std::string& text, std::uint64_t position, std::uint64_t total);

class Repository {
 public:
  Repository() = default;
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  std::string architecture;
  std::vector<std::unique_ptr<Package>> packages;  // load and install order
  Reporter reporter;

  // Sets quiet and the architecture, and loads the database from flash.
  void open(bool quiet, const std::string& architecture);

  Package* find(std::string_view name) const;
  int indexOf(std::string_view name) const;
  Package& append(std::unique_ptr<Package> package);
  // Takes the record out of the repository; the caller owns (or drops) it.
  std::unique_ptr<Package> take(const Package& package);

  // Reads the package's directory (metadata unless an image gave the data, then the
  // state files and the schedule) into the record.
  void loadPackageState(Package& package);
  // Stages the metadata and state files; false after a reported write failure.
  [[nodiscard]] bool writePackageMeta(Package& package, ChangeJournal& journal);
  // Both clear the pending action; false after a reported failure to stage a state file.
  bool markDisabled(Package& package, ChangeJournal& journal);
  bool markEnabled(Package& package, ChangeJournal& journal);
  // Stages the removal of the package's files, directory and image.
  void removePackage(Package& package, ChangeJournal& journal);

  // The record listings on the console.
  void dump();
  void list();

 private:
  void scanImages(const std::string& directory, bool entriesAreDirectories);
  void loadImage(std::unique_ptr<Package> record, const std::string& imagePath);
  bool stageText(Package& package, ChangeJournal& journal, const std::string& path,
                 const std::string& text, const char* failureName);
  void print(const std::string& text);
};

// The one repository of the process, created empty on first use.
Repository& repository();
// Opens repository() (quiet, architecture).
void openRepository(bool quiet, const std::string& architecture);

// The owned-path form of a target under the installed root ("/flash/bin/x" -> "/bin/x"),
// and back.
std::string ownedPath(const std::string& target);
std::string installedPath(const std::string& owned);

// "/ram/pdb/<S>/schedule", S being name without the characters that are not letters,
// digits or "-".
std::string schedulePath(std::string_view name);

}  // namespace vl
