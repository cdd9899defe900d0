#include "packages/planner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "packages/version.h"

namespace vl {
namespace {

constexpr const char* kFlaggedMarker = "/ram/pelmode";

bool isPlaceholder(const PackageInfo& package) {
  return package.version == 0xFFFFFFFF && package.buildTime == 0xFFFFFFFF;
}

// Release thresholds of the board checks.
constexpr Version kFirstCurrentFileSystem = 0x02096308;   // 2.9rc8
constexpr Version kFirstCurrentFlashDriver = 0x050D6301;  // 5.13rc1
constexpr Version kFirstLargeEraseBlocks = 0x03146302;    // 3.20rc2
constexpr Version kCurrentSystemDependency = 0x03166600;  // 3.22

std::string nameVersionOf(const PackageInfo& package) {
  return nameVersion(package.name, package.version);
}

const PackageInfo* memberNamed(const PackageInfo& package, std::string_view name) {
  for (const PackageInfo& member : package.members) {
    if (member.name == name) return &member;
  }
  return nullptr;
}

bool isPending(const Package& record, PendingAction action) { return record.pending == action; }

// Enabled now and staying so, or about to be enabled: the record will be enabled after
// the plan.
bool plannedEnabled(const Package& record) {
  if (record.disabled) return isPending(record, PendingAction::Enable);
  return isPending(record, PendingAction::None);
}

// The records whose dependencies are held and whose conflicts are resolved: pending
// "enable", or enabled with no pending action.
bool wantsEnabled(const Package& record) {
  if (isPending(record, PendingAction::Enable)) return true;
  return !record.disabled && isPending(record, PendingAction::None);
}

enum class Outcome { Satisfied, OnlyDisabled, None };

Outcome plannedOutcome(const std::vector<Package*>& found) {
  if (std::any_of(found.begin(), found.end(), [](const Package* p) { return plannedEnabled(*p); }))
    return Outcome::Satisfied;
  for (const Package* candidate : found) {
    if (candidate->disabled) return Outcome::OnlyDisabled;
    if (isPending(*candidate, PendingAction::Disable)) return Outcome::OnlyDisabled;
  }
  return Outcome::None;
}

bool relatedByName(const PackageInfo& k, const PackageInfo& o) {
  return hasOrContains(k, o.name) || hasOrContains(o, k.name);
}

// Whether k is left out against o; the reason when it is.
bool dropsAgainst(const PackageInfo& k, const PackageInfo& o, const NewestFilter& filter,
                  DropReason& reason) {
  if (filter.flagged) {
    reason = DropReason::Flagged;
    return k.buildTime < o.buildTime;
  }
  if (!relatedByName(k, o)) return false;
  const int r = filter.olderWins ? compare(k, o) : compare(o, k);
  reason = filter.olderWins ? DropReason::OlderProvided : DropReason::NewerProvided;
  if (r == 0) return !(k.isBundle && !o.isBundle);
  return r > 0;
}

}  // namespace

bool satisfies(const PackageInfo& package, const Relation& entry) {
  if (isPlaceholder(package)) return false;
  if (package.name != entry.name) return false;
  if (package.version < entry.minimum) return false;
  return entry.maximum == 0 || entry.maximum >= package.version;
}

bool overlaps(const Relation& x, const Relation& y) {
  if (x.name != y.name) return false;
  if (x.minimum != 0 && y.maximum != 0 && y.maximum < x.minimum) return false;
  return !(x.maximum != 0 && y.minimum != 0 && x.maximum < y.minimum);
}

bool providesFor(const PackageInfo& package, const Relation& entry) {
  if (isPlaceholder(package)) return false;
  return std::any_of(package.provides.begin(), package.provides.end(),
                     [&](const Relation& provided) { return overlaps(provided, entry); });
}

bool hasOrContains(const PackageInfo& package, std::string_view name) {
  if (isPlaceholder(package)) return false;
  return package.name == name || memberNamed(package, name) != nullptr;
}

bool dependsOn(const PackageInfo& a, const PackageInfo& b) {
  if (isPlaceholder(a) || isPlaceholder(b)) return false;
  for (const Relation& dependency : a.dependencies) {
    if (satisfies(b, dependency) || providesFor(b, dependency)) return true;
  }
  for (const PackageInfo& member : b.members) {
    if (dependsOn(a, member)) return true;
  }
  return std::any_of(a.members.begin(), a.members.end(),
                     [&](const PackageInfo& member) { return dependsOn(member, b); });
}

bool conflicts(const PackageInfo& a, const PackageInfo& b) {
  if (isPlaceholder(a) || isPlaceholder(b)) return false;
  for (const Relation& entry : a.conflicts) {
    if (satisfies(b, entry)) return true;
  }
  for (const Relation& provided : b.provides) {
    if (provided.name == a.name) return provided.priority < 0;
  }
  for (const Relation& provided : a.provides) {
    if (provided.name == b.name) return provided.priority >= 0;
    for (const Relation& other : b.provides) {
      if (other.name == provided.name) return other.priority < provided.priority;
    }
  }
  for (const Relation& entry : a.conflicts) {
    if (providesFor(b, entry)) return true;
  }
  if (memberNamed(b, a.name) != nullptr) return true;
  return std::any_of(a.members.begin(), a.members.end(),
                     [&](const PackageInfo& member) { return conflicts(member, b); });
}

int compare(const PackageInfo& a, const PackageInfo& b) {
  if (isPlaceholder(a) || isPlaceholder(b)) return 0;
  const PackageInfo* left = &a;
  const PackageInfo* right = &b;
  while (left->name != right->name) {
    if (const PackageInfo* member = memberNamed(*left, right->name)) {
      left = member;
    } else if (const PackageInfo* member = memberNamed(*right, left->name)) {
      right = member;
    } else {
      return 0;
    }
  }
  if (left->version != right->version) return left->version > right->version ? 1 : -1;
  if (left->buildTime != right->buildTime) return left->buildTime > right->buildTime ? 1 : -1;
  return 0;
}

std::vector<Package*> candidates(const Repository& repository, const Relation& entry,
                                 bool withDisabled) {
  std::vector<Package*> found;
  for (const std::unique_ptr<Package>& record : repository.packages) {
    if (record->disabled && !withDisabled) continue;
    if (satisfies(*record, entry) || providesFor(*record, entry)) found.push_back(record.get());
  }
  return found;
}

bool readFlaggedState() {
  const int fd = ::open(kFlaggedMarker, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char first = 0;
  const ssize_t count = ::read(fd, &first, 1);
  (void)::close(fd);
  return count == 1 && first != 0;
}

std::vector<std::size_t> filterAndOrder(const std::vector<const PackageInfo*>& list,
                                        const NewestFilter& filter) {
  // Records already left out no longer count against the rest, so of two equal
  // releases the later one stays.
  std::vector<bool> kept(list.size(), true);
  for (std::size_t k = 0; k < list.size(); ++k) {
    for (std::size_t o = 0; o < list.size(); ++o) {
      if (o == k || !kept[o]) continue;
      DropReason reason{};
      if (!dropsAgainst(*list[k], *list[o], filter, reason)) continue;
      kept[k] = false;
      if (filter.dropped) filter.dropped(k, reason);
      break;
    }
  }

  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (!kept[k]) continue;
    auto position = order.begin();
    for (auto placed = order.end(); placed != order.begin();) {
      --placed;
      if (dependsOn(*list[k], *list[*placed]) || conflicts(*list[*placed], *list[k])) {
        position = placed + 1;
        break;
      }
    }
    order.insert(position, k);
  }
  return order;
}

namespace {

// One offered package's check: the bits found so far, and whether a message was printed.
// A message is printed only for the first problem whose bit the caller does not allow.
struct Check {
  const PackageInfo& package;
  std::uint32_t allowed;
  Reporter& reporter;
  std::string offered = nameVersionOf(package);
  std::uint32_t bits = 0;
  bool reported = false;

  // Sets bit; true when its message is to be printed.
  bool found(std::uint32_t bit) {
    bits |= bit;
    if (reported || (allowed & bit) != 0) return false;
    reported = true;
    return true;
  }
};

void olderBuildInFlaggedState(Check& check, const Package& installed) {
  if (check.package.buildTime >= installed.buildTime) return;
  check.reporter.warning("cannot install older %s: router in flagged state", check.offered.c_str());
  check.bits |= kSituationUnusable | kSituationConflict;
  check.reported = true;
}

void newerPackageIsAlreadyInstalled(Check& check, const Package& installed) {
  if (check.found(kSituationDowngrade)) {
    check.reporter.warning("omitting package %s: newer package %s is already installed",
                           check.offered.c_str(), nameVersionOf(installed).c_str());
  }
}

void itIsAlreadyInstalled(Check& check) {
  if (check.found(kSituationSameRelease)) {
    check.reporter.warning("omitting package %s: it is already installed", check.offered.c_str());
  }
}

// An upgrade; told only to a caller that allows downgrades but not upgrades.
void olderPackageIsAlreadyInstalled(Check& check) {
  check.bits |= kSituationUpgrade;
  if (check.reported || (check.allowed & kSituationUpgrade) != 0 ||
      (check.allowed & kSituationDowngrade) == 0) {
    return;
  }
  check.reporter.warning("omitting package %s: older package is already installed",
                         check.offered.c_str());
  check.reported = true;
}

void compareWithInstalled(Check& check, const Package& installed, bool flagged) {
  if (flagged) olderBuildInFlaggedState(check, installed);
  const int c = compare(check.package, installed);
  if (c < 0) return newerPackageIsAlreadyInstalled(check, installed);
  if (c == 0) return itIsAlreadyInstalled(check);
  olderPackageIsAlreadyInstalled(check);
}

bool isSystemPackage(const PackageInfo& package) {
  return package.name == "system" || package.name.compare(0, 8, "pellorin") == 0;
}

void minPellorinVersion(Check& check, const BoardQueries& board) {
  const Version minimum = board.boardMinVersion();
  if (minimum <= check.package.version) return;
  if (check.found(kSituationUnusable)) {
    check.reporter.error("omitting package %s: min Pellorin version is %s", check.offered.c_str(),
                         formatVersion(minimum).c_str());
  }
}

void doesNotSupportCurrentFileSystem(Check& check) {
  if (check.found(kSituationUnusable)) {
    check.reporter.warning("omitting package %s: it does not support current file system",
                           check.offered.c_str());
  }
}

void doesNotSupportCurrentQuorrelin(Check& check) {
  if (check.found(kSituationUnusable)) {
    check.reporter.error("omitting package %s: it does not support current Quorrelin",
                         check.offered.c_str());
  }
}

void boardChecks(Check& check, const BoardQueries& board) {
  const Version version = check.package.version;
  minPellorinVersion(check, board);
  if (version < kFirstCurrentFileSystem) doesNotSupportCurrentFileSystem(check);
  if (version < kFirstCurrentFlashDriver && board.boardHasFlag1000()) {
    doesNotSupportCurrentQuorrelin(check);
  }
  if (version < kFirstLargeEraseBlocks && board.mtd0HasLargeEraseBlocks()) {
    doesNotSupportCurrentFileSystem(check);
  }
}

void notMadeForThisArchitecture(Check& check, const std::string& architecture) {
  const std::string& made = check.package.architecture;
  if (made.empty() || made == architecture) return;
  if (check.found(kSituationUnusable)) {
    check.reporter.error("can not install %s: it is not made for %s, but for %s",
                         check.offered.c_str(), architecture.c_str(), made.c_str());
  }
}

// Only the first missing dependency counts.
void requiredIsNotInstalled(Check& check, const Repository& repository) {
  for (const Relation& dependency : check.package.dependencies) {
    if (!candidates(repository, dependency, false).empty()) continue;
    if (check.found(kSituationUnusable)) {
      check.reporter.error("can not install %s: %s is not installed, but is required",
                           check.offered.c_str(),
                           boundText(dependency.name, dependency.minimum).c_str());
    }
    return;
  }
}

// Only the first enabled record that conflicts counts.
void conflictsWithEnabled(Check& check, const Repository& repository) {
  for (const std::unique_ptr<Package>& record : repository.packages) {
    if (record->disabled || !conflicts(*record, check.package)) continue;
    if (check.found(kSituationConflict)) {
      check.reporter.error("can not install %s: it conflicts with %s", check.offered.c_str(),
                           nameVersionOf(*record).c_str());
    }
    return;
  }
}

}  // namespace

std::uint32_t Planner::checkInstallable(const PackageInfo& package, std::uint32_t allowed) {
  Check check{package, allowed, repository_.reporter};
  const Package* installed = repository_.find(package.name);
  if (installed != nullptr && installed->name != "branding") {
    compareWithInstalled(check, *installed, flagged_);
  }
  if (isSystemPackage(package)) boardChecks(check, board_);
  notMadeForThisArchitecture(check, repository_.architecture);
  requiredIsNotInstalled(check, repository_);
  conflictsWithEnabled(check, repository_);
  return check.bits;
}

std::vector<Package*> Planner::reduce(const std::vector<Package*>& records) const {
  const std::vector<const PackageInfo*> list(records.begin(), records.end());
  std::vector<Package*> reduced;
  for (std::size_t index : filterAndOrder(list, NewestFilter{flagged_, false, {}})) {
    reduced.push_back(records[index]);
  }
  return reduced;
}

void Planner::hold(Package& record, const Package& dependent, int verbosity, HoldWalk& walk) {
  if (isPending(record, PendingAction::Uninstall) || isPending(record, PendingAction::Disable)) {
    if (verbosity >= kReportChanges) {
      repository_.reporter.warning("can not %s %s: %s depends on it", actionName(record.pending),
                                   nameVersionOf(record).c_str(), dependent.name.c_str());
    }
    record.pending = PendingAction::None;
    ++walk.stateChanges;
  } else if (!record.disabled) {
    return;
  } else if (!isPending(record, PendingAction::Enable)) {
    record.pending = PendingAction::Enable;
    ++walk.stateChanges;
  }
  holdDependencies(record, verbosity, walk);
}

// The rules are deterministic: a record entered again on the current path with no state
// changed since its earlier entry would repeat that entry for ever (bundle names can
// form such a cycle: a member named like its bundle, two bundles naming each other).
// Only that is cut short; any other re-entry ends, as every state change moves a record
// towards enabled, so the written result stays whole.
void Planner::holdDependencies(Package& record, int verbosity, HoldWalk& walk) {
  for (const auto& [entered, changes] : walk.path) {
    if (entered == &record && changes == walk.stateChanges) return;
  }
  walk.path.emplace_back(&record, walk.stateChanges);
  if (!record.bundleName.empty()) {
    if (Package* bundle = repository_.find(record.bundleName)) {
      hold(*bundle, record, verbosity, walk);
    }
  }
  for (const Relation& dependency : record.dependencies) {
    const std::vector<Package*> found = candidates(repository_, dependency, true);
    if (plannedOutcome(found) == Outcome::Satisfied) continue;
    if (found.empty()) break;
    const std::vector<Package*> reduced = reduce(found);
    if (!reduced.empty()) hold(*reduced.back(), record, verbosity, walk);
  }
  walk.path.pop_back();
}

void Planner::membersFollowBundles() {
  for (const std::unique_ptr<Package>& record : repository_.packages) {
    if (record->bundleName.empty()) continue;
    const Package* bundle = repository_.find(record->bundleName);
    if (bundle == nullptr) continue;
    if (isPending(*bundle, PendingAction::Disable)) {
      if (!isPending(*record, PendingAction::Uninstall)) record->pending = PendingAction::Disable;
    } else if (isPending(*bundle, PendingAction::Uninstall)) {
      record->pending = PendingAction::Uninstall;
    } else if (isPending(*bundle, PendingAction::Enable) && record->disabled) {
      record->pending = PendingAction::Enable;
    }
  }
}

void Planner::resolveConflicts(int verbosity) {
  for (const std::unique_ptr<Package>& record : repository_.packages) {
    Package& r = *record;
    if (!wantsEnabled(r)) continue;
    for (const std::unique_ptr<Package>& otherRecord : repository_.packages) {
      Package& o = *otherRecord;
      if (&o == &r || !plannedEnabled(o)) continue;
      if (conflicts(r, o)) {
        if (isPending(o, PendingAction::None)) o.pending = PendingAction::Disable;
        continue;
      }
      if (!isPending(r, PendingAction::Enable) || !conflicts(o, r)) continue;
      if (isPending(o, PendingAction::None)) {
        o.pending = PendingAction::Disable;
        continue;
      }
      if (verbosity >= kReportChanges) {
        repository_.reporter.warning("can not enable %s: %s conflicts with it", r.name.c_str(),
                                     nameVersionOf(o).c_str());
      }
      r.pending = PendingAction::None;
      break;
    }
  }
}

// Repeated from the first record after every change until nothing changes: each change
// moves a record towards "uninstall", so it ends.
void Planner::closeDependencies() {
  bool changed = true;
  while (changed) {
    changed = false;
    for (const std::unique_ptr<Package>& record : repository_.packages) {
      Package& r = *record;
      for (const Relation& dependency : r.dependencies) {
        const Outcome outcome = plannedOutcome(candidates(repository_, dependency, true));
        if (outcome == Outcome::None && !isPending(r, PendingAction::Uninstall)) {
          r.pending = PendingAction::Uninstall;
          changed = true;
        } else if (outcome == Outcome::OnlyDisabled && !isPending(r, PendingAction::Uninstall) &&
                   !isPending(r, PendingAction::Disable) &&
                   (!r.disabled || !isPending(r, PendingAction::None))) {
          r.pending = PendingAction::Disable;
          changed = true;
        }
        if (changed) break;
      }
      if (changed) break;
    }
  }
}

void Planner::bundlesFollowMembers() {
  for (const std::unique_ptr<Package>& record : repository_.packages) {
    Package& bundle = *record;
    if (!bundle.isBundle || isPending(bundle, PendingAction::Uninstall)) continue;
    bool anyEnabled = false;
    bool allUninstalled = true;
    for (const std::unique_ptr<Package>& member : repository_.packages) {
      if (member->bundleName != bundle.name || member->isPlaceholder()) continue;
      anyEnabled = anyEnabled || plannedEnabled(*member);
      allUninstalled = allUninstalled && isPending(*member, PendingAction::Uninstall);
    }
    if (anyEnabled) continue;
    if (allUninstalled || !bundle.disabled) {
      bundle.pending = PendingAction::Uninstall;
    } else if (isPending(bundle, PendingAction::Enable)) {
      bundle.pending = PendingAction::None;
    }
  }
}

bool Planner::planPendingActions(int verbosity, PendingPlan& plan) {
  std::vector<std::unique_ptr<Package>>& records = repository_.packages;
  membersFollowBundles();

  HoldWalk walk;
  for (const std::unique_ptr<Package>& record : records) {
    if (wantsEnabled(*record)) holdDependencies(*record, verbosity, walk);
  }
  resolveConflicts(verbosity);
  closeDependencies();
  bundlesFollowMembers();

  if (!records.empty() && std::none_of(records.begin(), records.end(),
                                       [](const auto& record) { return wantsEnabled(*record); })) {
    for (const std::unique_ptr<Package>& record : records) record->pending = PendingAction::None;
    if (verbosity >= kReportChanges) {
      repository_.reporter.error("can not uninstall or disable all packages");
    }
    return false;
  }

  PendingPlan result;
  std::vector<const PackageInfo*> enable;
  std::vector<Package*> enableRecords;
  for (const std::unique_ptr<Package>& record : records) {
    if (isPending(*record, PendingAction::Uninstall) || isPending(*record, PendingAction::Disable))
      result.disableOrUninstall.push_back(record.get());
    if (isPending(*record, PendingAction::Enable)) {
      enable.push_back(record.get());
      enableRecords.push_back(record.get());
    }
  }
  // A record left out for a newer related one is not enabled by this plan; its
  // "enable" goes too, so that no later plan counts on it being enabled.
  NewestFilter filter{flagged_, false, [&](std::size_t index, DropReason) {
                        enableRecords[index]->pending = PendingAction::None;
                      }};
  for (std::size_t index : filterAndOrder(enable, filter)) {
    result.enable.push_back(enableRecords[index]);
  }
  plan = std::move(result);
  return true;
}

bool Planner::applyPendingActions(ChangeJournal& journal, int verbosity) {
  PendingPlan plan;
  if (!planPendingActions(verbosity, plan)) return false;
  Reporter& reporter = repository_.reporter;
  for (Package* record : plan.disableOrUninstall) {
    const std::string named = nameVersionOf(*record);
    if (isPending(*record, PendingAction::Disable)) {
      if (verbosity >= kReportChanges) reporter.setStatus("disabling " + named + "...");
      // A state file that cannot be staged has been reported; the plan goes on.
      (void)repository_.markDisabled(*record, journal);
      if (verbosity >= kReportChanges) reporter.info("disabled %s", named.c_str());
      continue;
    }
    if (verbosity >= kReportUninstalls) reporter.setStatus("uninstalling " + named + "...");
    repository_.removePackage(*record, journal);
    (void)repository_.take(*record);
    if (verbosity >= kReportUninstalls) reporter.info("uninstalled %s", named.c_str());
  }
  for (Package* record : plan.enable) {
    const std::string named = nameVersionOf(*record);
    if (verbosity >= kReportChanges) reporter.setStatus("enabling " + named + "...");
    (void)repository_.markEnabled(*record, journal);
    if (verbosity >= kReportChanges) reporter.info("enabled %s", named.c_str());
  }
  return !plan.disableOrUninstall.empty() || !plan.enable.empty();
}

bool Planner::dropOutdatedPackages(ChangeJournal& journal) {
  (void)applyPendingActions(journal, kSilent);
  for (const std::unique_ptr<Package>& record : repository_.packages) {
    if (record->isBundle) continue;
    if (record->name == "mobrey" || record->name == "disk-drivers" || record->name == "system")
      continue;
    const bool current = std::any_of(
        record->dependencies.begin(), record->dependencies.end(), [](const Relation& dependency) {
          return dependency.name == "system" && dependency.minimum >= kCurrentSystemDependency;
        });
    if (!current) record->pending = PendingAction::Uninstall;
  }
  return applyPendingActions(journal, kReportChanges);
}

}  // namespace vl
