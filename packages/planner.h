// The install planner: whether an offered package may join what the database holds,
// and the pending enable, disable and uninstall actions that keep the database
// consistent afterwards (dependencies met, no two conflicting packages enabled, bundles
// following their members), carried out in a safe order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "packages/board_queries.h"
#include "packages/database.h"
#include "packages/journal.h"
#include "packages/package_file.h"

namespace vl {

// Situation bits of checkInstallable.
inline constexpr std::uint32_t kSituationUpgrade = 1;       // an older release is installed
inline constexpr std::uint32_t kSituationDowngrade = 2;     // a newer release is installed
inline constexpr std::uint32_t kSituationUnusable = 8;      // board, architecture or deps
inline constexpr std::uint32_t kSituationConflict = 16;     // conflicts with an enabled one
inline constexpr std::uint32_t kSituationSameRelease = 32;  // this release is installed
inline constexpr std::uint32_t kAllSituations = 1 | 2 | 8 | 16 | 32;

// Verbosity of the planner's reports.
inline constexpr int kSilent = 0;
inline constexpr int kReportChanges = 1;     // disabling, enabling, the plan's warnings
inline constexpr int kReportUninstalls = 2;  // also uninstalling

// Relations between records. A placeholder (version and build time both 0xFFFFFFFF)
// takes part in none of them.
bool satisfies(const PackageInfo& package, const Relation& entry);
bool overlaps(const Relation& x, const Relation& y);
bool providesFor(const PackageInfo& package, const Relation& entry);
bool hasOrContains(const PackageInfo& package, std::string_view name);
bool dependsOn(const PackageInfo& a, const PackageInfo& b);
bool conflicts(const PackageInfo& a, const PackageInfo& b);
// Release order of two records of one name, looking into bundle members when the names
// differ; 0 for unrelated records.
int compare(const PackageInfo& a, const PackageInfo& b);

// The records, in repository order, that satisfy entry or provide for it.
std::vector<Package*> candidates(const Repository& repository, const Relation& entry,
                                 bool withDisabled);

// The router is in flagged state when the first byte of "/ram/pelmode" is not 0; then
// no package built earlier than its installed release may come in.
bool readFlaggedState();

// Why the newest-release filter left a record out.
enum class DropReason {
  NewerProvided,  // a related record of a newer release stays
  OlderProvided,  // downgrading: a related record of an older release stays
  Flagged,        // flagged state: a record built later stays
};

struct NewestFilter {
  bool flagged = false;
  bool olderWins = false;  // downgrading: the older of two related releases stays
  // Told of each record left out, by its index in the list.
  std::function<void(std::size_t index, DropReason reason)> dropped;
};

// Keeps the newest of related records and orders what is kept so that each record
// comes after those it depends on; returns the indices of the kept records in that
// order.
std::vector<std::size_t> filterAndOrder(const std::vector<const PackageInfo*>& list,
                                        const NewestFilter& filter);

// The two ordered lists of a plan.
struct PendingPlan {
  std::vector<Package*> disableOrUninstall;
  std::vector<Package*> enable;
};

class Planner {
 public:
  Planner(Repository& repository, const BoardQueries& board, bool flagged)
      : repository_(repository), board_(board), flagged_(flagged) {}

  Repository& repository() const { return repository_; }
  bool flagged() const { return flagged_; }

  // The situation bits of offering package; a message for the first problem whose bit
  // allowed does not hold.
  std::uint32_t checkInstallable(const PackageInfo& package, std::uint32_t allowed);

  // Completes the pending actions into a consistent plan. false when it would leave no
  // package enabled: then every pending action is cleared.
  [[nodiscard]] bool planPendingActions(int verbosity, PendingPlan& plan);
  // Plans and stages the actions; true when anything was changed.
  bool applyPendingActions(ChangeJournal& journal, int verbosity);
  // Uninstalls every package too old for the current system.
  bool dropOutdatedPackages(ChangeJournal& journal);

 private:
  // The walk of hold-dependencies: the records entered on the current path, each with
  // the number of state changes seen when it was entered.
  struct HoldWalk {
    std::vector<std::pair<const Package*, unsigned>> path;
    unsigned stateChanges = 0;
  };
  void holdDependencies(Package& record, int verbosity, HoldWalk& walk);
  void hold(Package& record, const Package& dependent, int verbosity, HoldWalk& walk);

  void membersFollowBundles();
  void resolveConflicts(int verbosity);
  void closeDependencies();
  void bundlesFollowMembers();
  std::vector<Package*> reduce(const std::vector<Package*>& records) const;

  Repository& repository_;
  const BoardQueries& board_;
  bool flagged_;
};

}  // namespace vl
