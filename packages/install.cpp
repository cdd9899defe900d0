#include "packages/install.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "packages/package_file.h"
#include "packages/version.h"
#include "streams/bytes.h"

namespace vl {
namespace {

constexpr std::size_t kCopyBlock = 16384;
constexpr std::size_t kImageStep = 4096;

// The parts an install from the server stream stops at.
const std::vector<std::uint16_t> kInstallParts = {
    kPartPackageHeader, kPartBundleHeader, kPartChoiceList, kPartArchitecture, kPartDependencies,
    kPartProvides,      kPartConflicts,    kPartImage,      kPartFiles,        kPartSignature};

bool bootImageSkipsFiles(const Package& record) {
  return (record.flags & kFlagBootImage) != 0 && std::getenv(kBootImageVariable) != nullptr;
}

bool isMember(const Package& record) { return !record.bundleName.empty(); }

void reportBroken(Repository& repository, const Package& record) {
  repository.reporter.error("installation of %s failed: broken package",
                            record.displayName().c_str());
}

// The whole stream has been read when the reader stands exactly at the length the file
// header declares: a transfer cut after the signature, or one with bytes beyond the
// declared end, would otherwise leave an incomplete or overlong package copy on flash.
bool readToDeclaredEnd(const PartReader& reader) {
  return reader.type() == -1 && reader.position() == reader.total();
}

// A relation list of the reader's current part (the bundle choice list).
bool readRelationList(PartReader& reader, std::vector<Relation>& out) {
  std::vector<Relation> list;
  std::uint8_t count[2];
  if (reader.remaining() != 0) {
    if (!reader.readExact(count, sizeof count)) return false;
    for (unsigned i = 0; i < loadLe16(count); ++i) {
      std::uint8_t entry[kRelationEntrySize];
      if (!reader.readExact(entry, sizeof entry)) return false;
      const auto* name = reinterpret_cast<const char*>(entry);
      list.push_back(Relation{std::string(name, strnlen(name, kNameFieldSize)),
                              loadLe32(entry + 16), loadLe32(entry + 24),
                              static_cast<std::int32_t>(loadLe32(entry + 28))});
    }
  }
  out = std::move(list);
  return true;
}

// The directory that "/flash" really is, for comparing resolved paths against.
const std::string& installRootReal() {
  static const std::string root = [] {
    char resolved[PATH_MAX];
    return ::realpath(kInstallRoot, resolved) != nullptr ? std::string(resolved)
                                                         : std::string(kInstallRoot);
  }();
  return root;
}

bool insideInstallRoot(const std::string& path) {
  const std::string& root = installRootReal();
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// An existing path that is a symbolic link must resolve inside "/flash"; a link that
// leads nowhere could later be made to lead anywhere.
bool linkStaysInside(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return false;
  return insideInstallRoot(resolved);
}

bool stageEmptyMarker(Repository& repository, Package& record, ChangeJournal& journal,
                      const char* path) {
  FdStream marker = journal.stageFile(path, 0, 0644);
  const bool opened = marker.isOpen();
  if (marker.close() && opened) return true;
  repository.reporter.reportWriteFailure(record, path, marker.error() != 0 ? marker.error() : EIO);
  return false;
}

// What a package has staged so far from its archive: before its signature is checked,
// a package may stage only so much (kMaxStaged...).
struct StagingBudget {
  std::size_t files = 0;
  std::size_t nameBytes = 0;
  std::uint64_t dataBytes = 0;

  bool take(const std::string& target, std::uint32_t dataLength) {
    ++files;
    nameBytes += target.size();
    dataBytes += dataLength;
    return files <= kMaxStagedFiles && nameBytes <= kMaxStagedNameBytes &&
           dataBytes <= kMaxStagedDataBytes;
  }
};

// One regular file of the archive, copied from the archive into the journal.
bool unpackFile(Repository& repository, Package& record, ChangeJournal& journal,
                ArchiveReader& archive, const ArchiveEntry& entry, const std::string& target) {
  FdStream out = journal.stageFile(target, entry.dataLength, entry.mode);
  record.files.insert(ownedPath(target));
  auto failWrite = [&](int error) {
    (void)out.close();
    repository.reporter.reportWriteFailure(record, entry.name, error != 0 ? error : EIO);
    return false;
  };
  if (!out.isOpen()) return failWrite(out.error());
  std::vector<std::uint8_t> block(std::min<std::size_t>(kCopyBlock, entry.dataLength));
  while (archive.dataLeft() > 0) {
    const ssize_t n = archive.readData(block.data(), block.size());
    if (n <= 0) {
      (void)out.close();
      reportBroken(repository, record);
      return false;
    }
    if (out.write(block.data(), static_cast<std::size_t>(n)) < 0) return failWrite(out.error());
  }
  if (!out.close()) return failWrite(out.error());
  return true;
}

bool unpackArchive(Repository& repository, Package& record, ChangeJournal& journal,
                   PartReader& reader, const std::string& progress) {
  InflateStream inflated(reader);
  ArchiveReader archive(inflated);
  ArchiveEntry entry;
  StagingBudget budget;
  for (;;) {
    const int result = archive.next(entry);
    if (result == 0) return true;
    if (result < 0) {
      reportBroken(repository, record);
      return false;
    }
    if (!entry.isWritten()) continue;
    const std::optional<std::string> target = entry.name.size() <= kMaxEntryNameLength
                                                  ? unpackTarget(record, entry.name, journal)
                                                  : std::nullopt;
    if (!target || !budget.take(*target, entry.dataLength)) {
      reportBroken(repository, record);
      return false;
    }
    if (!unpackFile(repository, record, journal, archive, entry, *target)) return false;
    repository.reporter.showProgress(progress, reader);
  }
}

// Reads an image part through (hashed and copied), showing progress as it passes.
void readImageThrough(Repository& repository, PartReader& reader, const std::string& progress) {
  std::uint8_t step[kImageStep];
  while (reader.remaining() > 0) {
    if (reader.read(step, std::min<std::size_t>(sizeof step, reader.remaining())) <= 0) return;
    repository.reporter.showProgress(progress, reader);
  }
}

void clearStatusLine(Reporter& reporter) {
  reporter.setStatus(std::string(78, ' '));
  reporter.setStatus(std::string());
}

// The signature part at the reader checks out at the level the package needs. From here
// on every part is seen: only what the format allows after a signature may follow, as
// the rest would land unsigned in the kept image.
bool signatureHolds(PartReader& reader, const PackageInfo& record) {
  if (reader.type() != kPartSignature || reader.verifySignature() < requiredSignatureLevel(record))
    return false;
  reader.wantAll();
  (void)reader.next();
  return true;
}

// A package (no bundle member) may end with an architecture part and an empty
// dependencies part after its signature, and must end where its header says.
bool endsAfterSignature(PartReader& reader) {
  if (reader.type() == kPartArchitecture) (void)reader.next();
  if (reader.type() == kPartDependencies && reader.partLength() == 0) (void)reader.next();
  return reader.type() == -1 && readToDeclaredEnd(reader);
}

// A bundle member that is not installed is passed over, up to the next member or the
// end; its signature is checked all the same, as its header stays in the bundle's image.
bool skipMember(PartReader& reader, const PackageInfo& record) {
  while (reader.type() != -1 && reader.type() != kPartSignature) (void)reader.next();
  return signatureHolds(reader, record);
}

// Takes the installed record of name out of the repository, staging its removal.
void replaceInstalled(Repository& repository, ChangeJournal& journal, const std::string& name) {
  if (Package* installed = repository.find(name)) {
    repository.removePackage(*installed, journal);
    (void)repository.take(*installed);
  }
}

void takeUserChoice(Package& record, const UserChoices& choices) {
  const auto choice = choices.find(record.name);
  if (choice == choices.end()) return;
  record.disabled = choice->second.disabled;
  record.userForced = true;
}

void bindToBundle(Package& record, const BundleBound& bound) {
  record.bundleName = bound.name;
  record.bundleMinimum = bound.minimum;
  record.bundleMaximum = bound.maximum;
  record.bundlePriority = bound.priority;
}

// Installs a checked record: its contents, then the record joins the repository and
// the plan runs. outputs are set here, the package being installed and verified.
std::optional<std::string> installChecked(Planner& planner, ChangeJournal& journal,
                                          PartReader& reader, std::unique_ptr<Package> record,
                                          InstallOutputs& outputs) {
  Repository& repository = planner.repository();
  const std::string name = record->name;
  if (!reader.isUntracked()) replaceInstalled(repository, journal, name);
  if (!installPackageContents(repository, *record, journal, reader)) return std::nullopt;
  outputs.imagePath = record->hasImage ? record->directory() + "/" : std::string();
  outputs.bootImage = bootImageSkipsFiles(*record);
  repository.append(std::move(record));
  // The plan may take the new record out again (a member whose dependency is
  // missing); the name stays what was installed.
  (void)planner.applyPendingActions(journal, kSilent);
  return name;
}

// The release offered is installed already: done without reinstalling, and without
// any output, as nothing of this copy was verified.
std::optional<std::string> sameReleaseInstalled(Repository& repository, const Package& record,
                                                std::uint32_t allowed) {
  const Package* installed = repository.find(record.name);
  if (installed == nullptr) return std::nullopt;
  if ((allowed & kSituationSameRelease) != 0) {
    clearStatusLine(repository.reporter);
    repository.reporter.info("installed %s%s", record.disabled ? "(disabled) " : "",
                             nameVersion(record.name, record.version).c_str());
  }
  return installed->name;
}

}  // namespace

std::optional<std::string> unpackTarget(const Package& record, const std::string& entryName,
                                        const ChangeJournal& journal) {
  if (hasControlCharacter(entryName)) return std::nullopt;
  std::string relative;
  if (record.disabled) relative = std::string(kDisabledRoot) + record.name;
  if (entryName.empty() || entryName[0] != '/') relative += '/';
  relative += entryName;

  // Every component on the way: no "..", at least one real name, and no symbolic link
  // (on flash, or staged to be made) that leads out of "/flash".
  std::string path = kInstallRoot;
  bool named = false;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string_view component(relative.data() + start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") return std::nullopt;
    path += '/';
    path += component;
    named = true;
    const bool last = start > relative.size();
    const ChangeJournal::Entry* staged = journal.find(path);
    if (!last && staged != nullptr && staged->kind == ChangeJournal::Kind::Symlink) {
      return std::nullopt;
    }
    if (!linkStaysInside(path)) return std::nullopt;
  }
  if (!named) return std::nullopt;
  return std::string(kInstallRoot) + relative;
}

bool installPackageContents(Repository& repository, Package& record, ChangeJournal& journal,
                            PartReader& reader) {
  const bool member = isMember(record);
  std::string progress = "installing ";
  if (record.disabled && !member) progress += " (disabled) ";
  progress += record.displayName();
  repository.reporter.showProgress(progress, reader);

  if (!reader.isUntracked() && !journal.dirUsable(record.directory())) return false;
  if (reader.type() == kPartImage) {
    readImageThrough(repository, reader, progress);
    (void)reader.next();
  }
  if (reader.type() == kPartFiles) {
    if (!bootImageSkipsFiles(record) &&
        !unpackArchive(repository, record, journal, reader, progress)) {
      return false;
    }
    (void)reader.next();
  }

  if (!signatureHolds(reader, record) || (!member && !endsAfterSignature(reader))) {
    reportBroken(repository, record);
    return false;
  }

  // The copy is the package's kept image: an incomplete one must not be put in place.
  if (reader.copyFailed()) {
    repository.reporter.reportWriteFailure(record, kImageCopyPath, reader.copyError());
    return false;
  }
  if (!reader.isUntracked() && !repository.writePackageMeta(record, journal)) return false;
  const bool branding = record.name == "branding";
  if (((record.flags & kFlagBootImage) != 0 || branding) &&
      !stageEmptyMarker(repository, record, journal, kUpgradedMarker)) {
    return false;
  }
  if (branding && !stageEmptyMarker(repository, record, journal, kBrandingMarker)) return false;

  if (member) return true;
  repository.reporter.setStatus(std::string());
  repository.reporter.info("installed %s%s", record.disabled ? "(disabled) " : "",
                           nameVersion(record.name, record.version).c_str());
  return true;
}

std::optional<std::string> installPackage(Planner& planner, ChangeJournal& journal,
                                          PartReader& reader, std::uint32_t allowed,
                                          const UserChoices& choices, const BundleBound* bound,
                                          InstallOutputs& outputs) {
  Repository& repository = planner.repository();
  reader.want(kInstallParts);
  auto record = std::make_unique<Package>();
  if (!readPackageHeader(*record, reader)) return std::nullopt;
  if (bound != nullptr && record->name == bound->name) return std::nullopt;

  std::uint32_t bits = planner.checkInstallable(
      *record, bound != nullptr ? kAllSituations : allowed | kSituationConflict);
  takeUserChoice(*record, choices);
  if ((bits & kSituationConflict) != 0) {
    bits &= ~kSituationConflict;
    record->disabled = true;
  }

  if ((bits & ~allowed) == 0 && (bits & kSituationSameRelease) == 0) {
    if (bound != nullptr) bindToBundle(*record, *bound);
    return installChecked(planner, journal, reader, std::move(record), outputs);
  }
  if (bound != nullptr) {
    bindToBundle(*record, *bound);
    if (!skipMember(reader, *record)) {
      reportBroken(repository, *record);
      return std::nullopt;
    }
    const Package* installed = repository.find(record->name);
    if (installed == nullptr) return std::nullopt;
    return installed->name;
  }
  if ((bits & kSituationSameRelease) == 0) return std::nullopt;
  return sameReleaseInstalled(repository, *record, allowed);
}

namespace {

// The bundle's own record from its header; none when broken or when it has relations of
// its own.
std::unique_ptr<Package> readBundleHeader(PartReader& reader) {
  auto bundle = std::make_unique<Package>();
  if (!readPackageHeader(*bundle, reader)) return nullptr;
  if (!bundle->dependencies.empty() || !bundle->provides.empty() || !bundle->conflicts.empty()) {
    return nullptr;
  }
  if (reader.type() == kPartImage) (void)reader.next();
  return bundle;
}

std::vector<std::string> membersOf(const Repository& repository, const std::string& bundle) {
  std::vector<std::string> members;
  for (const std::unique_ptr<Package>& record : repository.packages) {
    if (record->bundleName == bundle) members.push_back(record->name);
  }
  return members;
}

// The optional members that the user did not choose install disabled: a record created
// like every other, so not a placeholder, whose conflicts entry names the member.
bool applyChoiceList(Repository& repository, PartReader& reader, const UserChoices& choices) {
  std::vector<Relation> optional;
  if (!readRelationList(reader, optional)) return false;
  for (const Relation& entry : optional) {
    if (choices.count(entry.name) != 0) continue;
    auto chooser = std::make_unique<Package>();
    chooser->conflicts.push_back(Relation{entry.name, 0, 0, 0});
    repository.append(std::move(chooser));
  }
  (void)reader.next();
  return true;
}

// The members, one after another; a member with an image part names the image path.
InstallResult installMembers(Planner& planner, ChangeJournal& journal, PartReader& reader,
                             std::uint32_t allowed, const UserChoices& choices,
                             const BundleBound& bound, std::vector<std::string>& oldMembers,
                             InstallOutputs& outputs) {
  int members = 0;
  while (reader.type() == kPartPackageHeader) {
    InstallOutputs member;
    const std::optional<std::string> name =
        installPackage(planner, journal, reader, allowed, choices, &bound, member);
    if (!name) return InstallResult::Refused;
    if (!member.imagePath.empty()) outputs.imagePath = member.imagePath;
    outputs.bootImage = outputs.bootImage || member.bootImage;
    std::erase(oldMembers, *name);
    ++members;
  }
  return members == 0 ? InstallResult::EmptyBundle : InstallResult::Installed;
}

// After the last member: an architecture part, then the end the header declares, and
// a complete copy.
bool bundleEndsWell(Repository& repository, PartReader& reader, const BundleBound& bound) {
  if (reader.type() == kPartArchitecture) (void)reader.next();
  const std::string bundleText = boundText(bound.name, bound.minimum);
  if (reader.type() != -1 || !readToDeclaredEnd(reader)) {
    repository.reporter.error("installation of %s failed: broken package", bundleText.c_str());
    return false;
  }
  if (reader.copyFailed()) {
    Package named;
    named.name = bound.name;
    named.version = bound.minimum;
    repository.reporter.reportWriteFailure(named, kImageCopyPath, reader.copyError());
    return false;
  }
  return true;
}

}  // namespace

InstallResult installBundle(Planner& planner, ChangeJournal& journal, PartReader& reader,
                            std::uint32_t allowed, const UserChoices& choices,
                            InstallOutputs& outputs) {
  Repository& repository = planner.repository();
  std::unique_ptr<Package> bundle = readBundleHeader(reader);
  if (bundle == nullptr) return InstallResult::Failed;
  if ((planner.checkInstallable(*bundle, allowed) & ~allowed) != 0) return InstallResult::Refused;

  replaceInstalled(repository, journal, bundle->name);
  if (!journal.dirUsable(bundle->directory()) || !repository.writePackageMeta(*bundle, journal)) {
    return InstallResult::Failed;
  }
  const BundleBound bound{bundle->name, bundle->version, bundle->version, 0};
  InstallOutputs installed;
  if (bundle->hasImage) installed.imagePath = bundle->directory() + "/";
  repository.append(std::move(bundle));
  std::vector<std::string> oldMembers = membersOf(repository, bound.name);

  if (reader.type() == kPartChoiceList && !applyChoiceList(repository, reader, choices)) {
    return InstallResult::Failed;
  }
  const InstallResult result =
      installMembers(planner, journal, reader, allowed, choices, bound, oldMembers, installed);
  if (result != InstallResult::Installed) return result;
  if (!bundleEndsWell(repository, reader, bound)) return InstallResult::Failed;

  for (const std::string& name : oldMembers) {
    if (Package* old = repository.find(name)) old->pending = PendingAction::Uninstall;
  }
  (void)planner.applyPendingActions(journal, kSilent);
  repository.reporter.setStatus(std::string());
  repository.reporter.info("installed %s", boundText(bound.name, bound.minimum).c_str());
  outputs = installed;
  return InstallResult::Installed;
}

InstallResult installFromStream(Planner& planner, ChangeJournal& journal, StreamBuffer& source,
                                std::uint32_t allowed, const UserChoices& choices,
                                StreamBuffer* copySink, InstallOutputs& outputs) {
  PartReader reader(source, true, copySink);
  reader.want(kInstallParts);
  (void)reader.next();
  if (reader.type() == kPartBundleHeader) {
    return installBundle(planner, journal, reader, allowed, choices, outputs);
  }
  InstallOutputs installed;
  if (!installPackage(planner, journal, reader, allowed, choices, nullptr, installed)) {
    return InstallResult::Failed;
  }
  outputs = installed;
  return InstallResult::Installed;
}

}  // namespace vl
