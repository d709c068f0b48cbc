// Runs the built tandrel-cli on real folders and checks what it prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/cli_runner.h"

namespace tandrel {
namespace {

using testing::CliRun;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::Quote;
using testing::TempFolder;

CliRun RunCli(const TempFolder& scratch, const std::string& args, const std::string& prefix = "") {
  return testing::RunProgram(TANDREL_CLI, scratch, args, prefix);
}

std::vector<std::string> Split(const std::string& text, char end) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == end) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  EXPECT_EQ(start, text.size()) << "output does not end with a row end";
  return parts;
}

constexpr long long kT = 1'600'000'000;

class CliTest : public ::testing::Test {
 protected:
  TempFolder tree_, scratch_;
  std::string one_ = tree_.MakeFolder("one") + "/";
  std::string two_ = tree_.MakeFolder("two") + "/";
};

TEST_F(CliTest, PlanPrintsTabSeparatedRowsInPlanOrder) {
  tree_.Write("one/a.txt", "1", kT);
  tree_.Write("one/sub/n.txt", "1", kT + 100);
  tree_.Write("two/deep/n.txt", "2", kT);
  tree_.Write("two/b.txt", "2", kT);
  // The arguments are normalised as a chosen folder: doubled slashes go.
  const CliRun run =
      RunCli(scratch_, "plan " + Quote(tree_.path() + "/one") + " " + Quote(tree_.path() + "two"));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.err, IsEmpty());  // not a terminal: no progress
  EXPECT_THAT(Split(run.out, '\n'),
              ElementsAre(one_ + "a.txt\t could be copied to\t" + two_,
                          two_ + "b.txt\t could to be copied to\t" + one_,
                          one_ + "sub/n.txt\t could overwrite an older\t" + two_ + "deep/n.txt"));
}

TEST_F(CliTest, NulTerminatedRowsCarryNewlinesInNames) {
  tree_.Write("one/new\nline", "x");
  tree_.Write("one/-dash", "x");
  const CliRun run = RunCli(scratch_, "plan -0 -- " + Quote(one_) + " " + Quote(two_));
  EXPECT_EQ(run.exit_code, 0);
  std::vector<std::string> rows = Split(run.out, '\0');
  std::sort(rows.begin(), rows.end());
  EXPECT_THAT(rows, ElementsAre(one_ + "-dash\t could be copied to\t" + two_,
                                one_ + "new\nline\t could be copied to\t" + two_));
}

TEST_F(CliTest, BadArgumentsExitTwoWithNothingOnStdout) {
  tree_.Write("file", "x");
  for (const std::string& args : {std::string("plan"), "plan " + Quote(one_),
                                  "plan --bogus " + Quote(one_) + " " + Quote(two_),
                                  "plan " + Quote(one_) + " " + Quote(tree_.path() + "missing"),
                                  "plan " + Quote(one_) + " " + Quote(tree_.path() + "file"),
                                  std::string("frobnicate"), std::string("")}) {
    const CliRun run = RunCli(scratch_, args);
    EXPECT_EQ(run.exit_code, 2) << args;
    EXPECT_THAT(run.out, IsEmpty()) << args;
    EXPECT_THAT(run.err, ::testing::Not(IsEmpty())) << args;
  }
  const CliRun help = RunCli(scratch_, "--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: tandrel-cli plan"));
  const CliRun sync_help = RunCli(scratch_, "sync -k --help");
  EXPECT_EQ(sync_help.exit_code, 0);
  EXPECT_EQ(sync_help.out, help.out);
}

TEST_F(CliTest, JobsTakeAWholeNumberFromOneTo256) {
  tree_.Write("one/a.txt", "1", kT);
  const std::string folders = Quote(one_) + " " + Quote(two_);
  const std::vector<std::string> whole = {"-j 1",     "-j 256",   "-j4",
                                          "--jobs=8", "--jobs 2", "-j 016"};
  const std::vector<std::string> not_whole = {"-j 0",    "-j 257",        "-j 8abc", "-j 1e9",
                                              "-j ''",   "-j +3",         "-j -3",   "-j 0x10",
                                              "-j ' 3'", "-j 4294967297", "--jobs=", "-j"};
  for (const auto& [values, exit_code] : {std::pair(whole, 0), std::pair(not_whole, 2)}) {
    for (const std::string& jobs : values) {
      // Last, so that a -j short of its number cannot take a folder's.
      const CliRun run = RunCli(scratch_, "plan " + folders + " " + jobs);
      EXPECT_EQ(run.exit_code, exit_code) << jobs;
      if (exit_code == 0) {
        EXPECT_EQ(run.out, one_ + "a.txt\t could be copied to\t" + two_ + "\n") << jobs;
      } else {
        EXPECT_THAT(run.out, IsEmpty()) << jobs;
        EXPECT_THAT(run.err, HasSubstr("-j takes a whole number from 1 to 256")) << jobs;
      }
    }
  }
}

TEST_F(CliTest, OutputThatCannotBeWrittenIsAFailureAndASyncStillCopies) {
  tree_.Write("one/a.txt", "1", kT);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[0]);  // a reader that has gone: writes fail with EPIPE
  ASSERT_LT(pipe_ends[1], 10) << "the shell redirects single-digit descriptors only";
  const std::vector<std::pair<std::string, std::string>> outputs = {
      {">/dev/full", "No space left on device"},
      {">&-", "Bad file descriptor"},
      {">&" + std::to_string(pipe_ends[1]), "Broken pipe"}};
  int syncs = 0;
  for (const auto& [redirect, reason] : outputs) {
    for (const std::string command : {"plan", "sync", "--version"}) {
      std::string args = command, copied_to;
      if (command == "plan") args += " " + Quote(one_) + " " + Quote(two_);
      if (command == "sync") {
        copied_to = tree_.MakeFolder("to" + std::to_string(++syncs)) + "/";
        args += " " + Quote(one_) + " " + Quote(copied_to);
      }
      const CliRun run = RunCli(scratch_, args, "sh -c 'exec \"$0\" \"$@\" " + redirect + "' ");
      EXPECT_EQ(run.exit_code, 1) << args << redirect;
      EXPECT_EQ(run.err, "tandrel-cli: write error: " + reason + "\n") << args << redirect;
      if (!copied_to.empty()) {
        EXPECT_EQ(TempFolder::Read(copied_to + "a.txt"), "1") << redirect;
      }
    }
  }
  close(pipe_ends[1]);
}

TEST_F(CliTest, VersionIsTheProjectsWithAnyDescribeInParentheses) {
  const CliRun run = RunCli(scratch_, "--version");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_THAT(run.out,
              ::testing::MatchesRegex("tandrel-cli " TANDREL_PROJECT_VERSION "( \\([^()]+\\))?\n"));
  EXPECT_THAT(RunCli(scratch_, "--help").out, HasSubstr("--version"));
}

TEST_F(CliTest, UnreadableSubfolderIsNamedOnStderrAndThePlanGoesOn) {
  // Root reads every folder, so as root the program runs as nobody.
  std::string prefix;
  if (geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv";
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  tree_.Write("one/ok.txt", "x");
  const std::string locked = tree_.MakeFolder("one/locked");
  tree_.Write("one/locked/hidden.txt", "x");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  const CliRun run = RunCli(scratch_, "plan " + Quote(one_) + " " + Quote(two_), prefix);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(Split(run.out, '\n'), ElementsAre(one_ + "ok.txt\t could be copied to\t" + two_));
  EXPECT_THAT(run.err, HasSubstr(locked));
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

// A process that may hold few files open still makes the whole plan and
// performs every row: no folder counts as unreadable for want of
// descriptors, and no spurious copy follows from one.
TEST_F(CliTest, FewDescriptorsGiveTheSamePlanAndSync) {
  for (int i = 0; i < 400; ++i) {
    const std::string name = "d" + std::to_string(i % 20) + "/e" + std::to_string(i) + "/f";
    tree_.Write("one/" + name + std::to_string(i), "x", kT);
    tree_.Write("two/" + name + std::to_string(i), "x", kT);
  }
  for (int i = 0; i < 300; ++i) tree_.Write("one/g" + std::to_string(i), "g", kT);
  const std::string folders = Quote(one_) + " " + Quote(two_);
  const CliRun unlimited = RunCli(scratch_, "plan " + folders);
  ASSERT_EQ(unlimited.exit_code, 0);
  for (const std::string jobs : {"1", "8", "64"}) {
    const std::string limit = "sh -c 'ulimit -n 40 && exec \"$0\" \"$@\"' ";
    const CliRun few = RunCli(scratch_, "plan -j " + jobs + " " + folders, limit);
    EXPECT_EQ(few.exit_code, 0) << few.err;
    EXPECT_EQ(few.out, unlimited.out) << jobs;
  }
  const CliRun sync =
      RunCli(scratch_, "sync " + folders, "sh -c 'ulimit -n 40 && exec \"$0\" \"$@\"' ");
  EXPECT_EQ(sync.exit_code, 0) << sync.err;
  EXPECT_EQ(RunCli(scratch_, "plan " + folders).out, "");
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

// An interrupt stops a sync where every row it printed is in place and
// nothing else is: no temporary, no file it did not print.
TEST_F(CliTest, AnInterruptedSyncPrintsExactlyTheFilesPutInPlace) {
  for (int i = 0; i < 8000; ++i) tree_.Write("one/f" + std::to_string(i), "x", kT);
  for (const char* signal : {"INT", "TERM"}) {
    const std::string target = tree_.MakeFolder(std::string("to") + signal) + "/";
    const std::string stop =
        "sh -c '\"$0\" \"$@\" & p=$!; sleep 0.3; kill -" + std::string(signal) + " $p; wait $p' ";
    const CliRun run = RunCli(scratch_, "sync -j 1 " + Quote(one_) + " " + Quote(target), stop);
    const int expected = std::string(signal) == "INT" ? 130 : 143;
    // A machine fast enough may finish first; what was printed still holds.
    ASSERT_TRUE(run.exit_code == expected || run.exit_code == 0) << run.exit_code << run.err;
    size_t printed = 0;
    for (const std::string& line : Split(run.out, '\n')) printed += line != "Done." ? 1 : 0;
    size_t placed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(target)) {
      if (entry.path().filename() == ".tandrel") continue;  // the run's record
      EXPECT_NE(entry.path().filename().string().front(), '~');
      ++placed;
    }
    EXPECT_EQ(printed, placed);
    if (run.exit_code != 0) {
      EXPECT_THAT(run.err, HasSubstr("Interrupted: "));
    }
  }
}

}  // namespace
}  // namespace tandrel
