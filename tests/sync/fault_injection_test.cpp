// Every step of a copy and of an overwrite, made to fail in turn: no case
// may lose a byte of the source or of the destination, or leave a
// temporary file behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "sync/sync_run.h"
#include "sync_harness.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::kNew;
using testing::kOld;
using testing::kSecond;
using testing::Op;
using testing::P;

constexpr FileTime kClock = kNew + 86'400 * kSecond;

const CompareRequest kCompared{P("/a/"), P("/b/")};
// The faults count calls of a step, so the rows are prepared one at a time,
// in order; the pipeline's own failures are tested with faults by path.
constexpr int kOneAtATime = 1;
const std::string kSourceBytes = "0123456789abcdefghij";  // five blocks of four
const std::string kOldBytes = "the older file, which must survive";

enum class Kind { kCopy, kOverwrite };

struct Fault {
  Op op;
  int nth_in_row;  // which call of that step, counted within the faulty row
  std::errc error;
  bool row_fails;
};

struct Case {
  Kind kind;
  Fault fault;
};

std::string Name(Op op) {
  switch (op) {
    case Op::kStat:
      return "Stat";
    case Op::kOpen:
      return "Open";
    case Op::kCreate:
      return "Create";
    case Op::kRead:
      return "Read";
    case Op::kWrite:
      return "Write";
    case Op::kOpenFolder:
      return "OpenFolder";
    case Op::kFlush:
      return "Flush";
    case Op::kFlushFolder:
      return "FlushFolder";
    case Op::kSetTime:
      return "SetTime";
    case Op::kRename:
      return "Rename";
    case Op::kRemove:
      return "Remove";
    case Op::kList:
      return "List";
    case Op::kClose:
      return "Close";
    case Op::kLink:
      return "Link";
  }
  return "?";
}

// The good row performed before the faulty one, so its "Done" must stay.
PlanRow FirstRow() { return {P("/a/first"), std::string(kCopyTo2Action), P("/b/"), true}; }

std::vector<PlanRow> Rows(Kind kind) {
  PlanRow faulty = kind == Kind::kCopy
                       ? PlanRow{P("/a/sub/x"), std::string(kCopyTo2Action), P("/b/"), true}
                       : PlanRow{P("/a/sub/x"), std::string(kOverwriteAction), P("/b/x"), true};
  return {FirstRow(),
          faulty,
          {P("/a/later"), std::string(kCopyTo2Action), P("/b/"), true},
          {P("/a/unticked"), std::string(kCopyTo2Action), P("/b/"), false}};
}

void Populate(FakeFileSystem& fs, Kind kind) {
  fs.SetClock(kClock);
  fs.SetBlockSize(4);
  fs.AddFile(P("/a/first"), "first", kOld);
  fs.AddFile(P("/a/sub/x"), kSourceBytes, kNew, false, 0640);
  fs.AddFile(P("/a/later"), "later", kOld);
  fs.AddFile(P("/a/unticked"), "unticked", kOld);
  fs.AddFolder(P("/b"));
  if (kind == Kind::kOverwrite) fs.AddFile(P("/b/x"), kOldBytes, kOld, false, 0600);
}

class SyncFault : public ::testing::TestWithParam<Case> {};

TEST_P(SyncFault, NothingIsLost) {
  const Case c = GetParam();
  // How many calls of the step the good first row makes, so that the fault
  // lands inside the faulty row.
  int calls_before = 0;
  {
    FakeFileSystem reference;
    Populate(reference, c.kind);
    FakePlanList plan;
    plan.rows = {FirstRow()};
    FakeShell shell;
    SyncRun(plan, kCompared, shell, reference, kOneAtATime);
    ASSERT_THAT(shell.messages, ElementsAre("Done."));
    calls_before = reference.Calls(c.fault.op);
  }

  FakeFileSystem fs;
  Populate(fs, c.kind);
  const std::error_code error = std::make_error_code(c.fault.error);
  // A full disk stays full: the run may try again, and fails again.
  if (c.fault.error == std::errc::no_space_on_device) {
    fs.FailFrom(c.fault.op, calls_before + c.fault.nth_in_row, error);
  } else {
    fs.FailNth(c.fault.op, calls_before + c.fault.nth_in_row, error);
  }
  FakePlanList plan;
  plan.rows = Rows(c.kind);
  FakeShell shell;

  SyncRun(plan, kCompared, shell, fs, kOneAtATime);

  EXPECT_EQ(fs.Contents(P("/a/sub/x")), kSourceBytes);
  EXPECT_EQ(fs.TimeOf(P("/a/sub/x")), kNew);
  EXPECT_EQ(fs.PermissionsOf(P("/a/sub/x")), 0640u);
  EXPECT_FALSE(fs.HasTemporaries());
  EXPECT_EQ(fs.Contents(P("/b/first")), "first");
  EXPECT_FALSE(fs.Exists(P("/b/unticked")));

  if (c.fault.row_fails) {
    if (c.kind == Kind::kCopy) {
      EXPECT_FALSE(fs.Exists(P("/b/x")));
    } else {
      EXPECT_EQ(fs.Contents(P("/b/x")), kOldBytes);
      EXPECT_EQ(fs.TimeOf(P("/b/x")), kOld);
      EXPECT_EQ(fs.PermissionsOf(P("/b/x")), 0600u);
    }
    EXPECT_FALSE(fs.Exists(P("/b/later")));
    std::vector<PlanRow> expected = Rows(c.kind);
    expected[0].action = "Done";
    EXPECT_EQ(plan.rows, expected);
    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_THAT(shell.messages[0], HasSubstr(P("/a/sub/x")));
    EXPECT_THAT(shell.messages[0], HasSubstr(P("/b/x")));
    EXPECT_THAT(shell.messages[0], HasSubstr(error.message()));
  } else {
    EXPECT_EQ(fs.Contents(P("/b/x")), kSourceBytes);
    EXPECT_EQ(fs.TimeOf(P("/b/x")), kNew);
    EXPECT_EQ(fs.PermissionsOf(P("/b/x")), 0640u);
    EXPECT_EQ(fs.Contents(P("/b/later")), "later");
    EXPECT_THAT(plan.rows, IsEmpty());
    EXPECT_THAT(shell.messages, ElementsAre("Done."));
  }
}

const Fault kFaults[] = {
    {Op::kStat, 1, std::errc::permission_denied, true},
    {Op::kOpen, 1, std::errc::permission_denied, true},
    {Op::kCreate, 1, std::errc::read_only_file_system, true},
    // A leftover temporary file of the same name: the next name is taken.
    {Op::kCreate, 1, std::errc::file_exists, false},
    {Op::kRead, 1, std::errc::io_error, true},
    {Op::kRead, 3, std::errc::io_error, true},
    {Op::kWrite, 1, std::errc::no_space_on_device, true},
    {Op::kWrite, 4, std::errc::no_space_on_device, true},
    {Op::kOpenFolder, 1, std::errc::permission_denied, true},
    {Op::kFlush, 1, std::errc::io_error, true},
    {Op::kSetTime, 1, std::errc::operation_not_permitted, true},
    {Op::kClose, 1, std::errc::io_error, true},
    {Op::kRename, 1, std::errc::permission_denied, true},
    // The happy path removes nothing: an overwrite never deletes first.
    {Op::kRemove, 1, std::errc::permission_denied, false},
};

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (Kind kind : {Kind::kCopy, Kind::kOverwrite}) {
    for (const Fault& fault : kFaults) {
      // A copy reads its source's time from the open file: it asks no Stat.
      if (kind == Kind::kCopy && fault.op == Op::kStat) continue;
      cases.push_back({kind, fault});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, SyncFault, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           const Case& c = info.param;
                           return std::string(c.kind == Kind::kCopy ? "Copy" : "Overwrite") +
                                  Name(c.fault.op) + std::to_string(c.fault.nth_in_row) + "_" +
                                  std::to_string(info.index);
                         });

// When removing the half-written temporary file fails as well, it is the
// only thing left behind, and its name keeps it out of every comparison.
TEST(SyncFaultTwice, ALeftoverTemporaryFileIsHiddenByItsName) {
  FakeFileSystem fs;
  Populate(fs, Kind::kOverwrite);
  fs.FailFrom(Op::kWrite, 2, std::make_error_code(std::errc::no_space_on_device));
  // Removing fails for good: the run tries again a few times, then names it.
  fs.FailFrom(Op::kRemove, 1, std::make_error_code(std::errc::io_error));
  FakePlanList plan;
  plan.rows = {{P("/a/sub/x"), std::string(kOverwriteAction), P("/b/x"), true}};
  FakeShell shell;

  SyncRun(plan, kCompared, shell, fs, kOneAtATime);

  ASSERT_EQ(shell.messages.size(), 2u);
  EXPECT_TRUE(shell.messages[1].starts_with(kTemporariesLeft));
  EXPECT_EQ(fs.Contents(P("/b/x")), kOldBytes);
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs.ListFolder(P("/b"), &entries));
  // The run's record, which could not be removed either, is hidden.
  std::erase_if(entries, [](const DirEntry& entry) { return entry.hidden; });
  // Both tries, the second one row at a time, left their copy.
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].name.front(), '~');
  EXPECT_EQ(entries[2].name.front(), '~');
  const Plan again = BuildPlan(fs, P("/a/sub/"), P("/b/")).plan;
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again.Destination(0), P("/b/x"));
}

}  // namespace
}  // namespace tandrel
