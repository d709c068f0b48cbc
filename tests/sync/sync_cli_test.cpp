// tandrel-cli sync, run as a program on temporary folders.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/cli_runner.h"

namespace tandrel {
namespace {

using testing::CliRun;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::TempFolder;

class SyncCli : public ::testing::Test {
 protected:
  TempFolder tmp_;
  TempFolder io_;
  std::string a_ = tmp_.MakeFolder("A") + "/";
  std::string b_ = tmp_.MakeFolder("B") + "/";

  CliRun Run(const std::string& args) { return testing::RunProgram(TANDREL_CLI, io_, args); }
};

TEST_F(SyncCli, PrintsEachRowDoneThenDone) {
  tmp_.Write("A/sub/one", "one", 1'577'836'800);
  tmp_.Write("B/bonly", "b", 1'577'836'800);
  tmp_.Write("A/same", "new", 1'577'836'900);
  tmp_.Write("B/same", "old", 1'577'836'800);

  const CliRun r = Run("sync '" + a_ + "' '" + b_ + "'");

  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, a_ + "sub/one\tDone\t" + b_ + "\n" +    //
                       b_ + "bonly\tDone\t" + a_ + "\n" +  //
                       a_ + "same\tDone\t" + b_ + "same\n" + "Done.\n");
  EXPECT_THAT(r.err, IsEmpty());
  EXPECT_EQ(TempFolder::Read(b_ + "one"), "one");
  EXPECT_EQ(TempFolder::Read(a_ + "bonly"), "b");
  EXPECT_EQ(TempFolder::Read(b_ + "same"), "new");

  const CliRun again = Run("sync '" + a_ + "' '" + b_ + "'");
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, "Done.\n");
}

// Every path below both folders, with the bytes and time of each file.
std::vector<std::string> Snapshot(const std::string& top) {
  std::vector<std::string> shot;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    std::string line = entry.path().string();
    if (entry.is_regular_file()) {
      line += " " + TempFolder::Read(line) + " " +
              std::to_string(entry.last_write_time().time_since_epoch().count());
    }
    shot.push_back(line);
  }
  std::sort(shot.begin(), shot.end());
  return shot;
}

// Synced, then undone: the trees are as they were, to the nanosecond; in
// between, no compare sees what the sync kept.
TEST_F(SyncCli, UndoPutsBothTreesBackAsTheyWere) {
  tmp_.Write("A/sub/one", "one", 1'577'836'800);
  tmp_.Write("B/bonly", "b", 1'577'836'800);
  tmp_.Write("A/same", "new", 1'577'836'900);
  tmp_.Write("B/deep/same", "old", 1'577'836'800);
  tmp_.Write("B/other", "newer other", 1'577'836'900);
  tmp_.Write("A/sub/other", "older other", 1'577'836'800);
  const std::vector<std::string> before = Snapshot(tmp_.path());

  ASSERT_EQ(Run("sync '" + a_ + "' '" + b_ + "'").exit_code, 0);
  EXPECT_EQ(Run("plan '" + a_ + "' '" + b_ + "'").out, "");
  const CliRun list = Run("undo --list '" + a_ + "' '" + b_ + "'");
  EXPECT_THAT(list.out, HasSubstr("\t4 rows\t14 bytes kept\n"));
  const CliRun undo = Run("undo '" + a_ + "' '" + b_ + "'");

  EXPECT_EQ(undo.exit_code, 0) << undo.err;
  EXPECT_THAT(undo.out, HasSubstr("restored\t" + b_ + "deep/same\n"));
  EXPECT_EQ(Snapshot(tmp_.path()), before);
  EXPECT_EQ(Run("undo '" + a_ + "' '" + b_ + "'").exit_code, 1);  // nothing left to undo
}

TEST_F(SyncCli, AFailureNamesBothPathsAndTheReasonAndExitsOne) {
  tmp_.Write("A/x", "x", 1'577'836'800);
  // A folder named like the file blocks its copy (and is no namesake: only
  // files are matched).
  tmp_.Write("B/x/inside", "in", 1'577'836'800);

  const CliRun r = Run("sync '" + a_ + "' '" + b_ + "'");

  EXPECT_EQ(r.exit_code, 1);
  EXPECT_THAT(r.err, HasSubstr(a_ + "x"));
  EXPECT_THAT(r.err, HasSubstr(b_ + "x"));
  EXPECT_THAT(r.err, HasSubstr("already exists"));
  EXPECT_THAT(r.out, Not(HasSubstr("Done.")));
  EXPECT_FALSE(std::filesystem::exists(a_ + "inside"));
  EXPECT_EQ(TempFolder::Read(b_ + "x/inside"), "in");
}

TEST_F(SyncCli, WrongArgumentsAreUsageErrors) {
  EXPECT_EQ(Run("sync").exit_code, 2);
  EXPECT_EQ(Run("sync '" + a_ + "'").exit_code, 2);
  EXPECT_EQ(Run("sync --bogus '" + a_ + "' '" + b_ + "'").exit_code, 2);
  const CliRun missing = Run("sync '" + a_ + "' '" + tmp_.path() + "missing'");
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_THAT(missing.err, HasSubstr("missing"));
}

}  // namespace
}  // namespace tandrel
