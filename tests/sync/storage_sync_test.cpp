// The copy path against drivers that do not keep what they are told: each
// case gives the target folder the behaviour of one kind of storage and
// checks what ends up there, what the run said, and that a compare right
// after proposes nothing where the copy is good.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "sync/clock.h"
#include "sync/sync_run.h"
#include "sync_harness.h"

namespace tandrel {
namespace {

using testing::CopyRow;
using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using testing::FakeStorage;
using ::testing::HasSubstr;
using testing::KeepGoing;
using testing::kOld;
using testing::kSecond;
using testing::Op;
using testing::P;
using testing::Sync;
using testing::Synced;

constexpr FileTime kOdd = kOld + 13 * kSecond + kSecond / 2;  // 00:00:13.5
constexpr FileTime kNewer = kOdd + 3600 * kSecond + 7 * kSecond;
constexpr FileTime kClock = kOld + 86'400 * kSecond;
const std::string kBytes = "the bytes of the newer file";

FakeStorage Fat() {
  FakeStorage fat;
  fat.storage = FatStorage();
  return fat;
}

FakeStorage Remote() {
  FakeStorage remote;
  remote.storage.remote = true;
  return remote;
}

struct Case {
  const char* name;
  FakeStorage storage;
  // What the run ends with.
  bool rows_done;
  const char* said;  // a message the run shows besides "Done.", if any
  bool converges;    // a compare right after proposes nothing
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<Case> Cases() {
  std::vector<Case> cases;
  cases.push_back({"Local", FakeStorage{}, true, nullptr, true});
  cases.push_back({"FatKeepsTwoSecondSteps", Fat(), true, nullptr, true});
  FakeStorage ignores = Remote();
  ignores.ignores_times = true;
  cases.push_back({"TimesNotKept", ignores, true, "did not keep the last-write time", false});
  FakeStorage renames = Fat();
  renames.storage.remote = true;
  renames.resets_time_on_rename = true;
  cases.push_back({"RenameStampsTheClock", renames, true, nullptr, true});
  FakeStorage drops = Fat();
  drops.drops_writes_past = 5;
  cases.push_back({"DropsWrites", drops, false, "came out shorter", false});
  FakeStorage close_fails = Remote();
  close_fails.close_error = std::make_error_code(std::errc::no_space_on_device);
  cases.push_back({"FailsAtClose", close_fails, false, "No space left on device", false});
  FakeStorage busy = Remote();
  busy.refuses_open_rename = true;
  cases.push_back({"RefusesToRenameAnOpenFile", busy, true, nullptr, true});
  return cases;
}

class SyncOnStorage : public ::testing::TestWithParam<Case> {};

TEST_P(SyncOnStorage, KeepsWhatThereWasOrPutsAWholeCopyThatStays) {
  const Case& c = GetParam();
  FakeFileSystem fs;
  fs.SetClock(kClock);
  fs.AddFile(P("/a/new.txt"), kBytes, kOdd, false, 0640);
  fs.AddFile(P("/a/sub/x.txt"), kBytes, kNewer);
  fs.AddFolder(P("/b"));
  fs.SetStorage(P("/b"), c.storage);
  fs.AddFile(P("/b/deep/x.txt"), "the older file", kOld);
  ASSERT_EQ(BuildPlan(fs, P("/a/"), P("/b/")).plan.size(), 2u);
  int copies_flushed = 0;
  fs.SetHook([&](Op op, const std::string& path) {
    if (op == Op::kFlush && path.find(".tandrel") == std::string::npos) ++copies_flushed;
  });

  const Synced synced = Sync(fs, {}, KeepGoing());

  EXPECT_EQ(synced.performed, c.rows_done);
  EXPECT_FALSE(fs.HasTemporaries());
  if (c.said != nullptr) {
    EXPECT_THAT(::testing::PrintToString(synced.messages), HasSubstr(c.said));
  }
  if (c.rows_done) {
    EXPECT_EQ(fs.Contents(P("/b/new.txt")), kBytes);
    EXPECT_EQ(fs.Contents(P("/b/deep/x.txt")), kBytes);
  } else {
    EXPECT_FALSE(fs.Exists(P("/b/new.txt")));
    EXPECT_EQ(fs.Contents(P("/b/deep/x.txt")), "the older file");
    EXPECT_EQ(fs.TimeOf(P("/b/deep/x.txt")), kOld);
  }
  const BuildResult after = BuildPlan(fs, P("/a/"), P("/b/"));
  EXPECT_EQ(after.plan.size() == 0, c.converges) << ::testing::PrintToString(after.plan.Rows(true));
  if (c.storage.storage.remote && c.rows_done) {
    // Each copy flushed itself: a flush of the whole file system would not
    // have reached the storage.
    EXPECT_EQ(copies_flushed, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, SyncOnStorage, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// FAT keeps local time: a summer-time shift moves every time by an hour,
// which is no edit when the files are equally long.
TEST(CompareOnFat, AWholeHourShiftOfEquallyLongFilesIsNoChange) {
  FakeFileSystem fs;
  fs.AddFile(P("/a/same.txt"), "twelve bytes", kOld + 3600 * kSecond);
  fs.AddFile(P("/a/edited.txt"), "longer than before", kOld + 3600 * kSecond);
  fs.AddFile(P("/b/same.txt"), "twelve bytes", kOld);
  fs.AddFile(P("/b/edited.txt"), "short", kOld);
  fs.SetStorage(P("/b"), Fat());
  const Plan plan = BuildPlan(fs, P("/a/"), P("/b/")).plan;
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan.Source(0), P("/a/edited.txt"));
}

// Where names differ only in letter case they are one file: a copy row that
// meets such a name says so, and two rows whose targets differ only in case
// write one file.
TEST(SyncOnStorage, NamesThatDifferOnlyInCase) {
  FakeFileSystem fs;
  fs.SetClock(kClock);
  fs.AddFile(P("/a/sub/Readme.txt"), "mine", kOld);
  fs.AddFile(P("/a/one/Notes.txt"), "first", kOld);
  fs.AddFile(P("/a/two/NOTES.TXT"), "second", kOld);
  fs.AddFolder(P("/b"));
  fs.SetStorage(P("/b"), Fat());
  fs.AddFile(P("/b/README.TXT"), "theirs", kOld);

  const Synced synced = Sync(
      fs, {CopyRow("/a/sub/Readme.txt"), CopyRow("/a/one/Notes.txt"), CopyRow("/a/two/NOTES.TXT")},
      KeepGoing());

  EXPECT_FALSE(synced.performed);
  ASSERT_EQ(synced.messages.size(), 1u);
  EXPECT_THAT(synced.messages[0], HasSubstr("only in letter case, README.TXT,"));
  EXPECT_EQ(fs.Contents(P("/b/README.TXT")), "theirs");
  EXPECT_EQ(synced.rows[0].action, kCopyTo2Action);
  EXPECT_EQ(synced.rows[1].action, "Done");
  EXPECT_EQ(synced.rows[2].action, "Done");
  EXPECT_EQ(fs.Contents(P("/b/notes.txt")), "second");
}

// Without keep-going the first failure stops the run; with it the later
// rows are still performed.
TEST(SyncOnStorage, KeepGoingPerformsTheRowsAfterAFailure) {
  for (const bool keep_going : {false, true}) {
    FakeFileSystem fs;
    fs.AddFile(P("/a/1"), "1", kOld);
    fs.AddFile(P("/a/2"), "2", kOld);
    fs.AddFile(P("/a/3"), "3", kOld);
    fs.AddFolder(P("/b"));
    fs.FailPath(Op::kOpen, P("/a/2"), std::make_error_code(std::errc::permission_denied));

    const Synced synced = Sync(fs, {}, keep_going ? KeepGoing() : SyncOptions{});

    EXPECT_FALSE(synced.performed);
    EXPECT_EQ(synced.messages.size(), 1u);
    EXPECT_TRUE(fs.Exists(P("/b/1")));
    EXPECT_FALSE(fs.Exists(P("/b/2")));
    EXPECT_EQ(fs.Exists(P("/b/3")), keep_going);
    EXPECT_EQ(synced.rows[2].action == "Done", keep_going);
  }
}

// On a share another computer's sync may be writing a temporary right now
// (its lock is not seen here): only a day-old leftover is removed.
TEST(SyncOnStorage, ALeftoverOnAShareIsRemovedOnlyWhenADayOld) {
  const std::int64_t now = UnixSecondsNow();
  auto name = [](long long started) {
    char text[64];
    std::snprintf(text, sizeof text, "~tandrel-%08llx%08x-1.tmp", started, 0x1234abcdu);
    return std::string(text);
  };
  FakeFileSystem fs;
  fs.AddFile(P("/a/x"), "x", kOld);
  fs.AddFolder(P("/b"));
  fs.SetStorage(P("/b"), Remote());
  const std::string fresh = P("/b/") + name(now - 60);
  const std::string stale = P("/b/") + name(now - 25 * 3600);
  fs.AddFile(fresh, "being written elsewhere", kOld);
  fs.AddFile(stale, "left by a crash", kOld);

  EXPECT_TRUE(Sync(fs).performed);

  EXPECT_TRUE(fs.Exists(fresh));
  EXPECT_FALSE(fs.Exists(stale));
}

// A file saved while it is copied is copied again: the copy in place is
// always one whole version of it, with that version's time, or the row
// fails when the file keeps changing.
TEST(SyncWholeVersion, ASourceWrittenDuringItsCopyIsCopiedAgain) {
  struct Case {
    int changes;  // how many of the copies are disturbed
    bool done;
  };
  for (const Case c : {Case{0, true}, Case{1, true}, Case{2, true}, Case{3, false}}) {
    FakeFileSystem fs;
    fs.SetBlockSize(4);
    fs.AddFile(P("/a/doc.txt"), "version 0 of it", kOld);
    fs.AddFolder(P("/b"));
    int changes = 0;
    bool armed = false;  // one change during each copy, at its first block
    fs.SetHook([&](Op op, const std::string& path) {
      if (path != P("/a/doc.txt")) return;
      if (op == Op::kOpen) armed = true;
      if (op != Op::kRead || !armed || changes == c.changes) return;
      armed = false;
      ++changes;
      fs.Write(P("/a/doc.txt"), "version " + std::to_string(changes) + " of it, longer",
               kOld + changes * kSecond);
    });
    SyncOptions one_thread;
    one_thread.io_threads = 1;

    const Synced synced = Sync(fs, {CopyRow("/a/doc.txt")}, one_thread);

    EXPECT_EQ(synced.performed, c.done) << c.changes;
    EXPECT_FALSE(fs.HasTemporaries());
    if (c.done) {
      EXPECT_EQ(fs.Contents(P("/b/doc.txt")), fs.Contents(P("/a/doc.txt")));
      EXPECT_EQ(fs.TimeOf(P("/b/doc.txt")), fs.TimeOf(P("/a/doc.txt")));
    } else {
      EXPECT_FALSE(fs.Exists(P("/b/doc.txt")));
      ASSERT_EQ(synced.messages.size(), 1u);
      EXPECT_THAT(synced.messages[0], HasSubstr("was being changed while it was copied"));
    }
  }
}

// Stopped at any step, part-way through a copy included, a run leaves
// exactly the rows marked "Done" (and counted done) in place, the others
// untouched, and no temporary behind.
TEST(SyncStopped, AtEveryStepTheRowsDoneAreTheFilesInPlace) {
  for (int at = 1;; ++at) {
    FakeFileSystem fs;
    fs.SetBlockSize(1);
    for (int i = 0; i < 6; ++i) fs.AddFile(P("/a/f") + std::to_string(i), "new", kOld + kSecond);
    fs.AddFile(P("/b/f5"), "old", kOld);
    fs.AddFolder(P("/b"));
    std::vector<PlanRow> rows = BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true);
    std::stop_source stop;
    int steps = 0;
    fs.SetHook([&](Op, const std::string&) {
      if (++steps == at) stop.request_stop();
    });
    SyncOptions options;
    options.stop = stop.get_token();
    options.io_threads = 1;
    SyncProgress progress;
    options.progress = &progress;

    const Synced synced = Sync(fs, std::move(rows), options);

    fs.SetHook({});
    EXPECT_FALSE(fs.HasTemporaries()) << at;
    if (synced.performed) break;  // the stop came after the last step
    EXPECT_THAT(synced.messages, ::testing::IsEmpty()) << at;
    EXPECT_EQ(progress.rows_done,
              std::count_if(synced.rows.begin(), synced.rows.end(),
                            [](const PlanRow& r) { return r.action == "Done"; }))
        << at;
    for (const PlanRow& row : synced.rows) {
      const std::string target = P("/b/") + row.source.substr(P("/a/").size());
      EXPECT_EQ(fs.Contents(target) == "new", row.action == "Done") << at << " " << target;
    }
  }
}

// A link at the source is read through when it is the caller's own, and
// when it leads to a file inside the compared folders; another user's link
// that leads outside is not copied.
TEST(SyncLinks, AnotherUsersLinkIsFollowedOnlyInsideTheComparedFolders) {
  struct Case {
    const char* name;
    const char* target;
    bool others;
    const char* copied;  // the bytes that end up in /b/link, or null
  };
  const Case cases[] = {
      {"OthersLinkOutside", "/x/secret", true, nullptr},
      {"OthersLinkInside", "/a/sub/real", true, "real"},
      {"OwnLinkOutside", "/x/secret", false, "secret"},
      {"OthersLinkToALinkOutside", "/a/sub/hop", true, nullptr},
  };
  for (const Case& c : cases) {
    FakeFileSystem fs;
    fs.AddFile(P("/x/secret"), "secret", kOld);
    fs.AddFile(P("/a/sub/real"), "real", kOld);
    fs.AddLink(P("/a/sub/hop"), P("/x/secret"));
    fs.SetOwnedByOthers(P("/a/sub/hop"));
    fs.AddLink(P("/a/link"), P(c.target));
    if (c.others) fs.SetOwnedByOthers(P("/a/link"));
    fs.AddFolder(P("/b"));

    const Synced synced = Sync(fs, {CopyRow("/a/link")});

    EXPECT_EQ(synced.performed, c.copied != nullptr) << c.name;
    EXPECT_FALSE(fs.HasTemporaries()) << c.name;
    if (c.copied != nullptr) {
      EXPECT_EQ(fs.Contents(P("/b/link")), c.copied) << c.name;
    } else {
      EXPECT_FALSE(fs.Exists(P("/b/link"))) << c.name;
      ASSERT_EQ(synced.messages.size(), 1u) << c.name;
      EXPECT_THAT(synced.messages[0], HasSubstr("leads outside the two compared folders"));
    }
  }
}

// A target that another program holds open is waited for a moment; one
// still held after that fails its row in words that say why and who holds
// it, and is left as it was.
TEST(StorageSync, ATargetAnotherProgramHoldsIsWaitedForThenNamed) {
  struct Case {
    const char* what;
    int busy_attempts;
    std::string program;
    int keep_days;
    bool keep_going;
    std::string reason;  // empty when the row is done
  };
  const std::string held = P("/b/x.txt");
  const Case cases[] = {
      {"let go of within the wait, kept", 3, "WINWORD.EXE", 30, false, ""},
      {"let go of within the wait, not kept", 3, "", 0, false, ""},
      {"held throughout", 1000, "WINWORD.EXE", 30, false,
       held + " is open in another program (WINWORD.EXE), so it was not replaced. Close it and "
              "sync again."},
      {"held throughout by a program nobody names, keep going", 1000, "", 0, true,
       held + " is open in another program, so it was not replaced. Close it and sync again."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeFileSystem fs;
    fs.AddFile(P("/a/x.txt"), "new", kNewer);
    fs.AddFile(P("/b/x.txt"), "old", kOld);
    fs.AddFile(P("/a/y.txt"), "y", kOld);
    fs.HoldOpen(held, c.busy_attempts, c.program);
    SyncOptions options = c.keep_going ? KeepGoing() : SyncOptions{};
    options.keep_days = c.keep_days;

    const Synced synced =
        Sync(fs, {{P("/a/x.txt"), std::string(kOverwriteAction), held, true}, CopyRow("/a/y.txt")},
             options);

    EXPECT_FALSE(fs.HasTemporaries());
    if (c.reason.empty()) {
      EXPECT_TRUE(synced.performed);
      EXPECT_THAT(synced.messages, ::testing::ElementsAre("Done."));
      EXPECT_EQ(fs.Contents(held), "new");
      testing::ExpectInStep(fs);
      continue;
    }
    EXPECT_FALSE(synced.performed);
    ASSERT_EQ(synced.messages.size(), 1u);
    EXPECT_THAT(synced.messages[0], HasSubstr(c.reason));
    EXPECT_EQ(fs.Contents(held), "old");
    EXPECT_EQ(fs.Exists(P("/b/y.txt")), c.keep_going);
  }
}

// A row is "Done" only with its file at the name the row says: a folder
// that keeps names as Windows does (on Windows, FAT, exFAT, NTFS with
// windows_names, a share) is never asked to take a name Windows refuses, and
// a copy whose name a share lists as another is removed and its row fails.
// The other rows go on (keep going) and nothing is left.
TEST(StorageSync, AShareKeepsTheNameOrTheRowFails) {
  struct Case {
    const char* what;
    bool remote;
    bool windows_names;
    std::map<std::string, std::string> lists_as;
    std::map<std::string, std::string> reasons;  // by name; the rest are done
  };
  const std::string kNotKept =
      " (it may not allow some characters, or a name ending in a dot or a space), so the copy "
      "was removed.";
  const auto refused = [](const std::string& why, const std::string& name) {
    return "Windows does not allow " + why + ", so " + P("/a/" + name) + " was not copied.";
  };
  const std::map<std::string, std::string> kWindowsRefuses = {
      {"a?b.txt", refused("the character ? in a file name", "a?b.txt")},
      {"name.", refused("a file name ending in a dot", "name.")},
      {"report ", refused("a file name ending in a blank", "report ")},
      {"CON", refused("the name CON for a file", "CON")},
      {"COM1", refused("the name COM1 for a file", "COM1")},
      {"aux.log", refused("the name aux.log for a file", "aux.log")}};
  std::map<std::string, std::string> share_refuses = kWindowsRefuses;
  share_refuses["a%41b.txt"] = "The share did not keep the name a%41b.txt" + kNotKept;
  const Case cases[] = {
      {"a share of a Windows computer", true, true, {{"a%41b.txt", "aAb.txt"}}, share_refuses},
      {"a Windows folder, a stick, NTFS with windows_names", false, true, {}, kWindowsRefuses},
      {"a driver that lists some names as others",
       true,
       false,
       {{"a?b.txt", "a"}, {"name.", "NY6XE0~2"}},
       {{"a?b.txt", "The share did not keep the name a?b.txt" + kNotKept},
        {"name.", "The share did not keep the name name." + kNotKept}}},
  };
  const std::string names[] = {"a?b.txt",   "name.",           "CON",
                               "COM1",      "aux.log",         "report ",
                               "a%41b.txt", "Caf\xc3\xa9.txt", "plain.txt"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeFileSystem fs;
    std::vector<PlanRow> rows;
    for (const std::string& name : names) {
      fs.AddFile(P("/a/") + name, name, kOld);
      rows.push_back(CopyRow("/a/" + name));
    }
    fs.AddFolder(P("/b"));
    FakeStorage share;
    share.storage.remote = c.remote;
    share.storage.windows_names = c.windows_names;
    share.lists_as = c.lists_as;
    fs.SetStorage(P("/b"), share);

    const Synced synced = Sync(fs, rows, KeepGoing());

    EXPECT_FALSE(synced.performed);
    ASSERT_EQ(synced.messages.size(), c.reasons.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string& name = names[i];
      const auto reason = c.reasons.find(name);
      SCOPED_TRACE(name);
      EXPECT_EQ(synced.rows[i].action == "Done", reason == c.reasons.end());
      EXPECT_EQ(fs.Exists(P("/b/") + name), reason == c.reasons.end());
      if (reason == c.reasons.end()) continue;
      EXPECT_EQ(std::count_if(synced.messages.begin(), synced.messages.end(),
                              [&](const std::string& m) {
                                return m.find(reason->second) != std::string::npos;
                              }),
                1);
    }
    EXPECT_FALSE(fs.HasTemporaries());
  }
}

// A run stopped by a failed row removes every copy written ahead for the
// rows after it, also where the storage refuses every request for a while
// after the failure (smbnetfs does for three seconds).
TEST(StorageSync, AFailedRunLeavesNoTemporaryBehind) {
  for (const int refused_removals : {0, 6}) {
    SCOPED_TRACE(refused_removals);
    FakeFileSystem fs;
    std::vector<PlanRow> rows;
    for (int i = 0; i < 6; ++i) {
      const std::string name = "/a/f" + std::to_string(i);
      fs.AddFile(P(name), "bytes", kOld);
      rows.push_back(CopyRow(name));
    }
    fs.AddFolder(P("/b"));
    FakeStorage share;
    share.storage.remote = true;
    fs.SetStorage(P("/b"), share);
    fs.FailPath(Op::kRename, P("/b/f1"), std::make_error_code(std::errc::io_error));
    for (int nth = 1; nth <= refused_removals; ++nth) {
      fs.FailNth(Op::kRemove, nth, std::make_error_code(std::errc::io_error));
    }

    const Synced synced = Sync(fs, rows);

    EXPECT_FALSE(synced.performed);
    ASSERT_EQ(synced.messages.size(), 1u);
    EXPECT_THAT(synced.messages[0], HasSubstr(P("/b/f1")));
    EXPECT_EQ(synced.rows[0].action, "Done");
    EXPECT_FALSE(fs.HasTemporaries());
    std::vector<std::string> in_b;
    for (const std::string& path : fs.AllPaths()) {
      if (path.starts_with(P("/b/")) && !path.starts_with(P("/b/.tandrel"))) in_b.push_back(path);
    }
    EXPECT_EQ(in_b, std::vector<std::string>{P("/b/f0")});
  }
}

// Every name made in a FAT folder is searched for through it: a sync
// leaves only a few temporaries there at once, where elsewhere a whole
// batch of them waits to be put in place.
TEST(StorageSync, AFatFolderHoldsFewTemporariesAtOnce) {
  constexpr size_t kFiles = 40;
  constexpr size_t kThreads = 2;
  struct Row {
    const char* name;
    FakeStorage storage;
    size_t least, most;  // temporaries in the folder at once
  };
  for (const Row& row : {Row{"local", FakeStorage{}, kFiles - kThreads, kFiles},
                         Row{"FAT", Fat(), 1, 16 + 2 * kThreads}}) {
    SCOPED_TRACE(row.name);
    FakeFileSystem fs;
    for (size_t i = 0; i < kFiles; ++i) fs.AddFile(P("/a/f" + std::to_string(i)), "bytes", kOld);
    fs.AddFolder(P("/b"));
    fs.SetStorage(P("/b"), row.storage);
    size_t there = 0;
    size_t most = 0;
    fs.SetHook([&](Op op, const std::string& path) {
      if (!path.starts_with(P("/b/f")) && !path.starts_with(P("/b/~"))) return;
      if (op == Op::kCreate) most = std::max(most, ++there);
      if (op == Op::kRename) --there;
    });
    SyncOptions options;
    options.io_threads = static_cast<int>(kThreads);

    EXPECT_TRUE(Sync(fs, {}, options).performed);

    EXPECT_EQ(there, 0u);
    EXPECT_GE(most, row.least);
    EXPECT_LE(most, row.most);
  }
}

}  // namespace
}  // namespace tandrel
