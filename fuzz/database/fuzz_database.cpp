// Any contents of a package's database files (version, relations, files list, state
// markers, schedule, image header) and of "/ram/DOWNGRADE": loading, listing, planning
// and an upgrade run over them stay in bounds, and whatever a record claims, removing it
// stages removals only inside "/flash".
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/common/board_root.h"
#include "packages/database.h"
#include "packages/install.h"
#include "packages/planner.h"

namespace {

// Record "a" has a directory and a schedule, record "b" an image and a files list.
constexpr const char* kRecordFiles[] = {"version", "deps",     "provides", "conflicts", "bundle",
                                        "files",   "disabled", "enabled",  "image"};
constexpr const char* kOtherFiles[] = {"/ram/pdb/a/schedule", "/rw/pckg/.images/b",
                                       "/flash/var/pdb/b/files", "/ram/DOWNGRADE"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vl::fuzzing::enterBoardRoot(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;
  vl::fuzzing::clearBoardPaths();
  FuzzedDataProvider input(data, size);
  std::vector<std::string> paths(std::begin(kOtherFiles), std::end(kOtherFiles));
  for (const char* name : kRecordFiles) paths.push_back(std::string("/flash/var/pdb/a/") + name);
  for (const std::string& path : paths) {
    if (input.ConsumeBool()) vl::fuzzing::writeFile(path, input.ConsumeRandomLengthString(4096));
  }
  vl::Repository repository;
  repository.reporter.setOutput(vl::fuzzing::devNull());
  repository.open(false, "mips");
  repository.dump();
  repository.list();
  vl::fuzzing::AnyBoard board;
  vl::Planner planner(repository, board, input.ConsumeBool());
  vl::ChangeJournal journal;
  journal.setOutput(vl::fuzzing::devNull(), vl::fuzzing::devNull());
  (void)planner.applyPendingActions(journal, 1);
  (void)vl::upgradeFromFolders(planner, journal, 0);
  journal.abort();
  for (const auto& record : repository.packages) repository.removePackage(*record, journal);
  for (const auto& [path, entry] : journal.entries()) {
    if (!vl::fuzzing::insideFlash(path, false)) std::abort();
  }
  journal.abort();
  return 0;
}
