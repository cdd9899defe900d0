// Any contents of a package's database files (version, relations, files list, state
// markers, schedule, image header) and of "/ram/DOWNGRADE": loading, listing, planning
// and an upgrade run over them stay in bounds, and whatever a record claims, removing it
// stages removals only inside "/flash".
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

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

void writeMaybe(FuzzedDataProvider& input, const std::string& path) {
  if (!input.ConsumeBool()) return;
  const std::string text = input.ConsumeRandomLengthString(4096);
  vl::createParentDirectories(path);
  vl::FdStream out = vl::FdStream::openWrite(path, O_CREAT | O_TRUNC, 0644);
  if (out.write(text.data(), text.size()) < 0 || !out.close()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vl::fuzzing::enterBoardRoot(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;
  vl::fuzzing::clearBoardPaths();
  FuzzedDataProvider input(data, size);
  for (const char* name : kRecordFiles) writeMaybe(input, std::string("/flash/var/pdb/a/") + name);
  for (const char* path : kOtherFiles) writeMaybe(input, path);
  static const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  vl::Repository repository;
  repository.reporter.setOutput(devNull);
  repository.open(false, "mips");
  repository.dump();
  repository.list();
  vl::fuzzing::AnyBoard board;
  vl::Planner planner(repository, board, input.ConsumeBool());
  vl::ChangeJournal journal;
  journal.setOutput(devNull, devNull);
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
