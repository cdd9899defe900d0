// The upgrade of a running system from package files left on flash.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packages/install.h"
#include "packages/version.h"

namespace vl {
namespace {

constexpr const char* kDownloadDir = "/rw/pckg/.download/";
constexpr const char* kDownloadIgnore = "/rw/pckg/.download/IGNORE";
constexpr const char* kFlashPackageDirs[] = {"/flash/rw/pckg/", "/flash/var/pckg/"};
constexpr std::size_t kPostLogWipe = 4096;

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

bool readWhole(const char* path, std::string& out) {
  FdStream in = FdStream::openRead(path);
  std::vector<std::uint8_t> bytes;
  if (!in.isOpen() || !readAll(in, bytes)) return false;
  out.assign(bytes.begin(), bytes.end());
  return true;
}

bool isPackageFileName(const std::string& name) {
  auto endsWith = [&](const char* suffix) {
    const std::string_view s(suffix);
    return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
  };
  return !name.empty() && name[0] != '.' && (endsWith(".vpk") || endsWith(".wpk"));
}

// The package files of one folder, in name order, each read whole; an unreadable one is
// reported and passed over.
std::vector<PackageInfo> scanFolder(const std::string& directory, Reporter& reporter) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (isPackageFileName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    (void)::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<PackageInfo> found;
  for (const std::string& name : names) {
    PackageInfo info;
    if (!readPackageFile(info, directory + name)) {
      reporter.error("broken package %s", name.c_str());
      continue;
    }
    found.push_back(std::move(info));
  }
  return found;
}

std::vector<PackageInfo> collectCandidates(Reporter& reporter) {
  std::vector<PackageInfo> found;
  if (!exists(kDownloadIgnore)) found = scanFolder(kDownloadDir, reporter);
  for (const char* directory : kFlashPackageDirs) {
    if (!found.empty()) break;
    found = scanFolder(directory, reporter);
  }
  return found;
}

// The lowest release a downgrade may reach: 0 when the marker holds no number.
Version readDowngradeMinimum(const std::string& text) {
  const char* begin = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*begin))) ++begin;
  if (!std::isdigit(static_cast<unsigned char>(*begin))) return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(begin, &end, 10);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return 0;
  return static_cast<Version>(value);
}

std::vector<PackageInfo> filterCandidates(std::vector<PackageInfo> found, bool downgrade,
                                          Version minimum, bool flagged, Reporter& reporter) {
  if (downgrade) {
    std::erase_if(found, [&](const PackageInfo& candidate) {
      if (candidate.version >= minimum) return false;
      reporter.warning("ommitting package %s: not allowed",
                       nameVersion(candidate.name, candidate.version).c_str());
      return true;
    });
  }
  std::vector<const PackageInfo*> list;
  for (const PackageInfo& candidate : found) list.push_back(&candidate);
  NewestFilter filter{
      flagged, downgrade, [&](std::size_t index, DropReason reason) {
        const std::string named = nameVersion(list[index]->name, list[index]->version);
        switch (reason) {
          case DropReason::NewerProvided:
            reporter.warning("omitting package %s: newer package is already provided",
                             named.c_str());
            break;
          case DropReason::OlderProvided:
            reporter.warning("omitting package %s: older package is already provided",
                             named.c_str());
            break;
          case DropReason::Flagged:
            reporter.warning("ommiting older package %s: router in flagged state", named.c_str());
            break;
        }
      }};
  std::vector<PackageInfo> ordered;
  for (std::size_t index : filterAndOrder(list, filter)) ordered.push_back(*list[index]);
  return ordered;
}

// The messages of the last run of the installed system's post-install step; the log is
// then wiped so that they are shown once.
void takePostLog(Reporter& reporter) {
  std::string text;
  if (!readWhole(kPostLogPath, text)) return;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line.resize(::strnlen(line.c_str(), line.size()));  // a wiped log holds zero bytes
    if (!line.empty()) reporter.addMessage(std::move(line));
    start = end + 1;
  }
  const int fd = ::open(kPostLogPath, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return;
  const std::vector<char> zeros(kPostLogWipe, '\0');
  (void)!::write(fd, zeros.data(), zeros.size());
  (void)::close(fd);
}

// Puts an installed candidate's file in place as its kept image. The file of a candidate
// that was not installed now (a release already installed) was not verified: it is
// discarded, and the installed release keeps its image.
void placeImage(ChangeJournal& journal, const PackageInfo& candidate,
                const InstallOutputs& outputs) {
  if (outputs.imagePath.empty()) {
    if (candidate.hasImage) journal.stageRemove(candidate.path);
    return;
  }
  const std::string image = outputs.imagePath + "image";
  if (outputs.bootImage) {
    journal.stageMove(candidate.path, kBootImagePath);
    journal.stageSymlink(kBootImagePath, image);
    return;
  }
  journal.stageMove(candidate.path, image);
}

bool providesName(const Package& record, const std::string& name) {
  return std::any_of(record.provides.begin(), record.provides.end(),
                     [&](const Relation& entry) { return entry.name == name; });
}

// The record that stands for a wanted name: the first enabled one with that name or
// providing it, else the last such record.
Package* recordFor(Repository& repository, const std::string& name) {
  Package* last = nullptr;
  for (const std::unique_ptr<Package>& record : repository.packages) {
    if (record->name != name && !providesName(*record, name)) continue;
    if (!record->disabled) return record.get();
    last = record.get();
  }
  return last;
}

void enableWanted(Repository& repository, ChangeJournal& journal,
                  const std::vector<std::string>& wanted) {
  for (const std::string& name : wanted) {
    Package* record = recordFor(repository, name);
    if (record == nullptr || !record->disabled) continue;
    const bool blocked =
        std::any_of(repository.packages.begin(), repository.packages.end(), [&](const auto& other) {
          return other.get() != record && !other->disabled && conflicts(*record, *other);
        });
    if (blocked) continue;
    const std::string named = nameVersion(record->name, record->version);
    repository.reporter.setStatus("enabling " + named + "...");
    (void)repository.markEnabled(*record, journal);
    repository.reporter.info("enabled %s", named.c_str());
  }
}

}  // namespace

bool upgradeFromFolders(Planner& planner, ChangeJournal& journal, std::uint32_t allowed) {
  Repository& repository = planner.repository();
  Reporter& reporter = repository.reporter;
  std::string marker;
  const bool downgrade = readWhole(kDowngradeMarker, marker);
  const Version minimum = downgrade ? readDowngradeMinimum(marker) : 0;
  if (downgrade) allowed |= kSituationDowngrade;

  const std::vector<PackageInfo> ordered = filterCandidates(collectCandidates(reporter), downgrade,
                                                            minimum, planner.flagged(), reporter);

  UserChoices choices;
  std::vector<std::string> wanted;
  auto want = [&](const std::string& name) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) wanted.push_back(name);
  };
  for (const std::unique_ptr<Package>& record : repository.packages) {
    if (record->userForced) choices[record->name] = UserChoice{record->name, record->disabled};
    if (record->disabled) continue;
    want(record->name);
    for (const Relation& entry : record->provides) want(entry.name);
  }

  if (!ordered.empty()) takePostLog(reporter);
  for (const PackageInfo& candidate : ordered) {
    FdStream file = FdStream::openRead(candidate.path);
    InstallOutputs outputs;
    if (installFromStream(planner, journal, file, allowed, choices, nullptr, outputs) !=
        InstallResult::Installed) {
      journal.abort();
      return false;
    }
    placeImage(journal, candidate, outputs);
  }

  enableWanted(repository, journal, wanted);
  if (repository.packages.empty()) {
    reporter.error("router installation failed!!!");
    journal.abort();
    return false;
  }
  return true;
}

}  // namespace vl
