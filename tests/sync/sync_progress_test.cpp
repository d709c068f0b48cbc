// What a sync reports as it goes, the words a progress window makes of it,
// and a sync driven from a window's message loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "sync/sync_run.h"
#include "sync/sync_thread.h"
#include "sync_harness.h"

namespace tandrel {
namespace {

using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using testing::kNew;
using testing::kOld;
using testing::Op;
using testing::P;

// /a/ holds one large file and three small ones, /b/ an older large one.
void AddTrees(FakeFileSystem& fs) {
  fs.SetBlockSize(1000);
  fs.AddFile(P("/a/large.bin"), std::string(20'000, 'x'), kNew);
  fs.AddFile(P("/b/large.bin"), "old", kOld);
  for (const char* name : {"/a/s1", "/a/s2", "/a/s3"}) fs.AddFile(P(name), "small", kNew);
}

// The bytes copied rise block by block, within the large file too, and the
// counts end at the totals.
TEST(SyncProgressReports, RiseDuringOneLargeCopyAndReachTheTotals) {
  FakeFileSystem fs;
  AddTrees(fs);
  SyncProgress progress;
  std::vector<std::int64_t> seen;
  fs.SetHook([&](Op op, const std::string& path) {
    if (op == Op::kWrite && path.find("~tandrel") != std::string::npos) {
      seen.push_back(progress.bytes_copied);
    }
  });
  FakePlanList plan;
  plan.rows = BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true);
  FakeShell shell;
  SyncOptions options;
  options.io_threads = 1;
  options.progress = &progress;

  ASSERT_TRUE(SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs, options));

  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GE(
      std::count_if(seen.begin(), seen.end(), [](std::int64_t b) { return b > 0 && b < 20'000; }),
      10);
  EXPECT_EQ(progress.rows_total, 4);
  EXPECT_EQ(progress.rows_done, 4);
  EXPECT_TRUE(progress.bytes_counted);
  EXPECT_EQ(progress.bytes_total, 20'015);
  EXPECT_EQ(progress.bytes_copied, 20'015);
}

TEST(ProgressWords, NumbersSizesRatesAndTimeLeft) {
  EXPECT_EQ(WithThousands(0), "0");
  EXPECT_EQ(WithThousands(999), "999");
  EXPECT_EQ(WithThousands(1204), "1,204");
  EXPECT_EQ(WithThousands(2'648'673), "2,648,673");
  EXPECT_EQ(SizeText(1), "1 byte");
  EXPECT_EQ(SizeText(1023), "1023 bytes");
  EXPECT_EQ(SizeText(1536), "1.5 KB");
  EXPECT_EQ(SizeText(std::int64_t{2} << 30), "2.0 GB");
  EXPECT_EQ(SizeText(std::int64_t{340} << 20), "340 MB");
  EXPECT_EQ(StoppedMessage(1204, 3000), "Stopped. 1,204 of 3,000 rows were done.");

  SyncProgress progress;
  progress.rows_total = 3000;
  progress.rows_done = 1204;
  progress.bytes_total = std::int64_t{100} << 20;
  ProgressMeter meter;
  const auto start = ProgressMeter::Clock::time_point();
  ProgressView view = meter.Read(progress, start);
  EXPECT_EQ(view.rows, "1,204 of 3,000 rows");
  EXPECT_EQ(view.bytes, "0 bytes of 100 MB or more");
  progress.bytes_counted = true;
  progress.bytes_copied = std::int64_t{10} << 20;
  view = meter.Read(progress, start + std::chrono::seconds(1));
  EXPECT_EQ(view.bytes, "10.0 MB of 100 MB, 10.0 MB/s");  // no time left promised yet
  EXPECT_EQ(view.per_mille, 100);
  progress.bytes_copied = std::int64_t{40} << 20;
  view = meter.Read(progress, start + std::chrono::seconds(4));
  EXPECT_EQ(view.bytes, "40.0 MB of 100 MB, 10.0 MB/s, about 6 seconds left");
}

// The window's side of a sync run on a thread of its own: what the run
// posts is run in order on the "window's thread" (this test's), messages
// included, and `finished` comes last; a stopped run says how far it got.
TEST(SyncThreadRun, PostsEverythingInOrderAndTellsWhereItStopped) {
  for (const bool stop : {false, true}) {
    FakeFileSystem fs;
    AddTrees(fs);
    FakePlanList plan;
    plan.rows = BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true);
    FakeShell shell;
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<SyncThread::Task> tasks;
    SyncThread sync(plan, shell, [&](SyncThread::Task task) {
      std::lock_guard lock(mutex);
      tasks.push_back(std::move(task));
      posted.notify_one();
    });
    std::vector<std::string> seen;  // on the window's thread, in order
    shell.on_message = [&](const std::string& text) { seen.push_back("box " + text); };
    bool finished = false;
    if (stop) {
      fs.SetHook([&](Op op, const std::string& path) {
        if (op == Op::kWrite && path.find("~tandrel") != std::string::npos) sync.Stop();
      });
    }
    sync.Start({P("/a/"), P("/b/")}, fs, [&] { finished = true; });
    while (!finished) {
      std::unique_lock lock(mutex);
      posted.wait(lock, [&] { return !tasks.empty(); });
      SyncThread::Task task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      task();
      if (!finished) seen.push_back(std::to_string(plan.rows.size()) + " rows");
    }

    fs.SetHook({});
    EXPECT_FALSE(fs.HasTemporaries());
    if (!stop) {
      EXPECT_TRUE(sync.performed());
      EXPECT_THAT(seen, ::testing::ElementsAre("4 rows", "4 rows", "4 rows", "4 rows", "box Done.",
                                               "4 rows", "0 rows"));
      EXPECT_EQ(sync.StoppedText(), "");
    } else {
      EXPECT_FALSE(sync.performed());
      const auto done = std::count_if(plan.rows.begin(), plan.rows.end(),
                                      [](const PlanRow& r) { return r.action == "Done"; });
      EXPECT_EQ(sync.StoppedText(), "Stopped. " + std::to_string(done) + " of 4 rows were done.");
      EXPECT_EQ(plan.rows.size(), 4u);
    }
  }
}

}  // namespace
}  // namespace tandrel
