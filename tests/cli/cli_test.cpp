// Runs the built tandrel-cli on real folders and checks what it prints and
// what it leaves in them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
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
  // `prefix` goes before the program (e.g. to run it as another user).
  CliRun Run(const std::string& args, const std::string& prefix = "") {
    return testing::RunProgram(TANDREL_CLI, scratch_, args, prefix);
  }

  TempFolder tree_, scratch_;  // the folders compared; the program's output
  std::string one_ = tree_.MakeFolder("one") + "/";
  std::string two_ = tree_.MakeFolder("two") + "/";
  std::string folders_ = Quote(one_) + " " + Quote(two_);
};

TEST_F(CliTest, PlanPrintsTabSeparatedRowsInPlanOrder) {
  tree_.Write("one/a.txt", "1", kT);
  tree_.Write("one/sub/n.txt", "1", kT + 100);
  tree_.Write("two/deep/n.txt", "2", kT);
  tree_.Write("two/b.txt", "2", kT);
  // The arguments are normalised as a chosen folder: doubled slashes go.
  const CliRun run =
      Run("plan " + Quote(tree_.path() + "/one") + " " + Quote(tree_.path() + "two"));
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
  const CliRun run = Run("plan -0 -- " + folders_);
  EXPECT_EQ(run.exit_code, 0);
  std::vector<std::string> rows = Split(run.out, '\0');
  std::sort(rows.begin(), rows.end());
  EXPECT_THAT(rows, ElementsAre(one_ + "-dash\t could be copied to\t" + two_,
                                one_ + "new\nline\t could be copied to\t" + two_));
}

TEST_F(CliTest, BadArgumentsExitTwoWithNothingOnStdout) {
  tree_.Write("file", "x");
  const std::string missing = tree_.path() + "missing", file = tree_.path() + "file";
  // What each command line does wrong, and what stderr says of it.
  std::vector<std::pair<std::string, std::string>> lines = {
      {"frobnicate", "unknown command: frobnicate"}, {"", "Usage: tandrel-cli"}};
  for (const std::string command : {"plan", "sync", "undo"}) {
    lines.insert(lines.end(), {{command, "Usage: tandrel-cli"},
                               {command + " " + Quote(one_), "Usage: tandrel-cli"},
                               {command + " --bogus " + folders_, "unknown option: --bogus"},
                               {command + " " + Quote(one_) + " " + Quote(missing), missing},
                               {command + " " + Quote(one_) + " " + Quote(file), file}});
  }
  for (const auto& [args, told] : lines) {
    const CliRun run = Run(args);
    EXPECT_EQ(run.exit_code, 2) << args;
    EXPECT_THAT(run.out, IsEmpty()) << args;
    EXPECT_THAT(run.err, HasSubstr(told)) << args;
  }
  const CliRun help = Run("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: tandrel-cli plan"));
  const CliRun sync_help = Run("sync -k --help");
  EXPECT_EQ(sync_help.exit_code, 0);
  EXPECT_EQ(sync_help.out, help.out);
}

// The value the help's name of a value stands for: N is a number.
std::string ValueFor(const std::string& name) { return name == "N" ? "1" : "x"; }

bool IsValueName(const std::string& word) {
  return !word.empty() &&
         std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isupper(c); });
}

// Every option the help shows is taken where it shows it: an option on a
// command's usage line by that command, each spelling in the list of
// options by the program or by some command.
TEST_F(CliTest, EveryOptionTheHelpShowsIsTakenWhereItIsShown) {
  const std::string help = Run("--help").out;
  std::istringstream help_lines(help);
  std::vector<std::string> commands, spellings;
  bool in_options = false;
  for (std::string line; std::getline(help_lines, line);) {
    if (line.starts_with("Usage: ") || line.starts_with("  or:  ")) {
      std::istringstream words(line.substr(line.find("tandrel-cli ") + 12));
      std::vector<std::string> tokens;
      for (std::string word; words >> word;) {
        std::erase_if(word, [](char c) { return c == '[' || c == ']'; });
        tokens.push_back(word);
      }
      if (tokens[0].starts_with("-")) {  // the program's own: --help | --version
        for (const std::string& token : tokens) {
          if (token != "|") spellings.push_back(token);
        }
        continue;
      }
      commands.push_back(tokens[0]);
      for (size_t i = 1; i < tokens.size(); ++i) {
        if (!tokens[i].starts_with("-") || tokens[i] == "--") continue;
        std::string option = tokens[i];
        if (i + 1 < tokens.size() && IsValueName(tokens[i + 1])) {
          option += " " + ValueFor(tokens[i + 1]);
        }
        const CliRun run = Run(tokens[0] + " " + option + " --help");
        EXPECT_EQ(run.exit_code, 0) << tokens[0] << " " << option << ": " << run.err;
        EXPECT_EQ(run.out, help) << tokens[0] << " " << option;
      }
    } else if (line == "Options:") {
      in_options = true;
    } else if (in_options && line.starts_with("  -")) {
      std::istringstream words(line);
      for (std::string word; words >> word;) {  // "-j N, --jobs=N", then the text
        if (word.ends_with(",")) word.pop_back();
        if (word.starts_with("-")) {
          spellings.push_back(word);
        } else if (IsValueName(word)) {
          spellings.back() += " " + word;
        } else {
          break;
        }
      }
    }
  }
  ASSERT_THAT(commands, ElementsAre("plan", "sync", "undo"));
  ASSERT_THAT(spellings, ::testing::Contains("--jobs=N"));
  for (std::string spelling : spellings) {
    const size_t value = spelling.find_last_of(" =");
    if (value != std::string::npos && IsValueName(spelling.substr(value + 1))) {
      spelling = spelling.substr(0, value + 1) + ValueFor(spelling.substr(value + 1));
    }
    bool taken = Run(spelling).exit_code == 0;
    for (const std::string& command : commands) {
      taken = taken || Run(command + " " + spelling + " --help").exit_code == 0;
    }
    EXPECT_TRUE(taken) << spelling;
  }
}

TEST_F(CliTest, JobsTakeAWholeNumberFromOneTo256) {
  tree_.Write("one/a.txt", "1", kT);
  const std::vector<std::string> whole = {"-j 1",     "-j 256",   "-j4",
                                          "--jobs=8", "--jobs 2", "-j 016"};
  const std::vector<std::string> not_whole = {"-j 0",    "-j 257",        "-j 8abc", "-j 1e9",
                                              "-j ''",   "-j +3",         "-j -3",   "-j 0x10",
                                              "-j ' 3'", "-j 4294967297", "--jobs=", "-j"};
  for (const auto& [values, exit_code] : {std::pair(whole, 0), std::pair(not_whole, 2)}) {
    for (const std::string& jobs : values) {
      // Last, so that a -j short of its number cannot take a folder's.
      const CliRun run = Run("plan " + folders_ + " " + jobs);
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
      if (command == "plan") args += " " + folders_;
      if (command == "sync") {
        copied_to = tree_.MakeFolder("to" + std::to_string(++syncs)) + "/";
        args += " " + Quote(one_) + " " + Quote(copied_to);
      }
      const CliRun run = Run(args, "sh -c 'exec \"$0\" \"$@\" " + redirect + "' ");
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
  const CliRun run = Run("--version");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_THAT(run.out,
              ::testing::MatchesRegex("tandrel-cli " TANDREL_PROJECT_VERSION "( \\([^()]+\\))?\n"));
  EXPECT_THAT(Run("--help").out, HasSubstr("--version"));
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
  const CliRun run = Run("plan " + folders_, prefix);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(Split(run.out, '\n'), ElementsAre(one_ + "ok.txt\t could be copied to\t" + two_));
  EXPECT_THAT(run.err, HasSubstr(locked));
}

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
  const CliRun unlimited = Run("plan " + folders_);
  ASSERT_EQ(unlimited.exit_code, 0);
  for (const std::string jobs : {"1", "8", "64"}) {
    const std::string limit = "sh -c 'ulimit -n 40 && exec \"$0\" \"$@\"' ";
    const CliRun few = Run("plan -j " + jobs + " " + folders_, limit);
    EXPECT_EQ(few.exit_code, 0) << few.err;
    EXPECT_EQ(few.out, unlimited.out) << jobs;
  }
  const CliRun sync = Run("sync " + folders_, "sh -c 'ulimit -n 40 && exec \"$0\" \"$@\"' ");
  EXPECT_EQ(sync.exit_code, 0) << sync.err;
  EXPECT_EQ(Run("plan " + folders_).out, "");
}

// An interrupt stops a sync where every row it printed is in place and
// nothing else is: no temporary, no file it did not print.
TEST_F(CliTest, AnInterruptedSyncPrintsExactlyTheFilesPutInPlace) {
  for (int i = 0; i < 8000; ++i) tree_.Write("one/f" + std::to_string(i), "x", kT);
  for (const char* signal : {"INT", "TERM"}) {
    const std::string target = tree_.MakeFolder(std::string("to") + signal) + "/";
    const std::string stop =
        "sh -c '\"$0\" \"$@\" & p=$!; sleep 0.3; kill -" + std::string(signal) + " $p; wait $p' ";
    const CliRun run = Run("sync -j 1 " + Quote(one_) + " " + Quote(target), stop);
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

TEST_F(CliTest, SyncPrintsEachRowDoneThenDone) {
  tree_.Write("one/sub/first", "one", kT);
  tree_.Write("two/bonly", "b", kT);
  tree_.Write("one/same", "new", kT + 100);
  tree_.Write("two/same", "old", kT);

  const CliRun r = Run("sync " + folders_);

  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, one_ + "sub/first\tDone\t" + two_ + "\n" +  //
                       two_ + "bonly\tDone\t" + one_ + "\n" +  //
                       one_ + "same\tDone\t" + two_ + "same\n" + "Done.\n");
  EXPECT_THAT(r.err, IsEmpty());
  EXPECT_EQ(TempFolder::Read(two_ + "first"), "one");
  EXPECT_EQ(TempFolder::Read(one_ + "bonly"), "b");
  EXPECT_EQ(TempFolder::Read(two_ + "same"), "new");

  const CliRun again = Run("sync " + folders_);
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, "Done.\n");
}

// Every path below `top`, with the bytes and time of each file.
std::vector<std::string> Snapshot(const std::string& top) {
  std::vector<std::string> shot;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    std::string line = entry.path().string();
    if (line.find("/.tandrel") != std::string::npos) continue;  // the runs' records
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
TEST_F(CliTest, UndoPutsBothTreesBackAsTheyWere) {
  tree_.Write("one/sub/first", "one", kT);
  tree_.Write("two/bonly", "b", kT);
  tree_.Write("one/same", "new", kT + 100);
  tree_.Write("two/deep/same", "old", kT);
  tree_.Write("two/other", "newer other", kT + 100);
  tree_.Write("one/sub/other", "older other", kT);
  const std::vector<std::string> before = Snapshot(tree_.path());

  ASSERT_EQ(Run("sync " + folders_).exit_code, 0);
  const std::vector<std::string> synced = Snapshot(tree_.path());
  EXPECT_EQ(Run("plan " + folders_).out, "");
  const CliRun list = Run("undo --list " + folders_);
  EXPECT_THAT(list.out, HasSubstr("\t4 rows\t14 bytes kept\n"));
  const CliRun undo = Run("undo " + folders_);

  EXPECT_EQ(undo.exit_code, 0) << undo.err;
  EXPECT_THAT(undo.out, HasSubstr("restored\t" + two_ + "deep/same\n"));
  EXPECT_EQ(Snapshot(tree_.path()), before);
  // The undo is the last run now: undone, it gives back what the sync made.
  EXPECT_THAT(Run("undo --list " + folders_).out, HasSubstr("\tundo, with " + two_ + "\t"));
  const CliRun redo = Run("undo " + folders_);
  EXPECT_EQ(redo.exit_code, 0) << redo.err;
  EXPECT_THAT(redo.out, HasSubstr("Undone: the undo of "));
  EXPECT_EQ(Snapshot(tree_.path()), synced);
}

TEST_F(CliTest, ASyncFailureNamesBothPathsAndTheReasonAndExitsOne) {
  tree_.Write("one/x", "x", kT);
  // A folder named like the file blocks its copy (and is no namesake: only
  // files are matched).
  tree_.Write("two/x/inside", "in", kT);

  const CliRun r = Run("sync " + folders_);

  EXPECT_EQ(r.exit_code, 1);
  EXPECT_THAT(r.err, HasSubstr(one_ + "x"));
  EXPECT_THAT(r.err, HasSubstr(two_ + "x"));
  EXPECT_THAT(r.err, HasSubstr("already exists"));
  EXPECT_THAT(r.out, ::testing::Not(HasSubstr("Done.")));
  EXPECT_FALSE(std::filesystem::exists(one_ + "inside"));
  EXPECT_EQ(TempFolder::Read(two_ + "x/inside"), "in");
}

}  // namespace
}  // namespace tandrel
