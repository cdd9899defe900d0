// Repositories built in memory for the planner tests, and a board with chosen answers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "packages/board_queries.h"
#include "packages/database.h"
#include "packages/journal.h"
#include "packages/planner.h"
#include "packages/version.h"

namespace vl::testing {

inline Version v(const char* text) {
  const Version version = parseVersion(text);
  EXPECT_NE(version, 0u) << text;
  return version;
}

inline Relation rel(std::string name, Version minimum = 0, Version maximum = 0,
                    std::int32_t priority = 0) {
  return Relation{std::move(name), minimum, maximum, priority};
}

// A database record as a table row.
struct Rec {
  std::string name;
  const char* version = "1.0";  // nullptr: 0, as a record created empty
  std::uint32_t buildTime = 1000;
  bool disabled = false;
  PendingAction pending = PendingAction::None;
  std::vector<Relation> deps = {};
  std::vector<Relation> provides = {};
  std::vector<Relation> conflicts = {};
  std::string bundle = {};
  bool isBundle = false;
  std::vector<std::string> members = {};  // member records named so, same release
};

inline std::unique_ptr<Package> makeRecord(const Rec& row) {
  auto record = std::make_unique<Package>();
  record->name = row.name;
  record->version = row.version == nullptr ? 0 : v(row.version);
  record->buildTime = row.buildTime;
  record->disabled = row.disabled;
  record->pending = row.pending;
  record->dependencies = row.deps;
  record->provides = row.provides;
  record->conflicts = row.conflicts;
  record->bundleName = row.bundle;
  if (!row.bundle.empty()) record->bundleMinimum = record->bundleMaximum = record->version;
  record->isBundle = row.isBundle;
  for (const std::string& member : row.members) {
    PackageInfo info;
    info.name = member;
    info.version = record->version;
    info.buildTime = record->buildTime;
    record->members.push_back(info);
  }
  return record;
}

struct BoardAnswers {
  Version minVersion = 0;
  bool flag1000 = false;
  bool largeEraseBlocks = false;
};

class FakeBoard final : public BoardQueries {
 public:
  BoardAnswers answers;
  Version boardMinVersion() const override { return answers.minVersion; }
  bool boardHasFlag1000() const override { return answers.flag1000; }
  bool mtd0HasLargeEraseBlocks() const override { return answers.largeEraseBlocks; }
};

class PlannerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The messages are compared as the reporter collects them; the console is not needed.
    nullFd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(nullFd_, 0);
    repository.reporter.setOutput(nullFd_);
    repository.architecture = "mips";
  }
  void TearDown() override {
    journal.abort();
    ::close(nullFd_);
  }

  void add(const std::vector<Rec>& rows) {
    for (const Rec& row : rows) repository.append(makeRecord(row));
  }
  Planner planner(bool flagged = false) { return Planner(repository, board, flagged); }
  const std::vector<std::string>& messages() const { return repository.reporter.messages(); }

  // Names of the records left, in repository order, "name" or "name(off)" for disabled.
  std::string states() const {
    std::string text;
    for (const auto& record : repository.packages) {
      if (!text.empty()) text += ' ';
      text += record->name + (record->disabled ? "(off)" : "");
    }
    return text;
  }

  Repository repository;
  FakeBoard board;
  ChangeJournal journal;

 private:
  int nullFd_ = -1;
};

}  // namespace vl::testing
