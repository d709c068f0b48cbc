// Speed of the window with big plans, on the offscreen platform:
//   - a plan of 200,000 rows appended and ticked, as a compare run ends;
//   - Check All and Uncheck All over it, each with the repaint that follows;
//   - scrolling it a page at a time;
//   - the longest time the window goes without repainting while a compare
//     of two 100,000-file trees runs (a 10 ms timer repaints the window).
//
//   app_bench [SCRATCH_FOLDER]   (default: a new folder under /tmp)
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/form1.h"
#include "app/form_load.h"
#include "compare/compare_run.h"
#include "compare/plan.h"
#include "platform/system.h"
#include "silent_dialogs.h"

namespace {

double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

void Settle() {
  QApplication::processEvents();
  QApplication::processEvents();
}

// `files` files in folders of 100, named so that `shared` of them are also
// in the other tree (with another time), the rest only here.
void MakeTree(const std::filesystem::path& top, const std::string& own, int files, int shared,
              std::filesystem::file_time_type time) {
  for (int i = 0; i < files; ++i) {
    const std::filesystem::path folder = top / ("d" + std::to_string(i / 100));
    if (i % 100 == 0) std::filesystem::create_directories(folder);
    const std::string name = i < shared ? "s" + std::to_string(i) : own + std::to_string(i);
    const std::filesystem::path file = folder / (name + ".txt");
    std::ofstream(file) << 'x';
    std::filesystem::last_write_time(file, time);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int qt_argc = 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(qt_argc, argv);
  const std::filesystem::path scratch =
      argc > 1 ? std::filesystem::path(argv[1])
               : std::filesystem::temp_directory_path() / "tandrel_app_bench";

  std::shared_ptr<tandrel::FileSystem> fs = tandrel::MakeRealFileSystem();
  tandrel::bench::SilentDialogs dialogs;
  tandrel::Form1 form(fs, dialogs);
  tandrel::StartUp start_up;
  start_up.draw = [] { return 0.5; };
  tandrel::FormLoad(form, *fs, start_up);
  form.show();
  Settle();
  auto* view = form.findChild<QTableView*>(QStringLiteral("ListView3"));

  // A plan of 200,000 rows as the engine returns it.
  tandrel::BuildResult result;
  result.plan.folder1 = "/data/photos/";
  result.plan.folder2 = "/backup/photos/";
  for (int i = 0; i < 200'000; ++i) {
    result.plan.files1.AddPath("/data/photos/2019/summer/holiday/img_" + std::to_string(i) +
                               ".jpg");
    result.plan.entries.push_back({tandrel::RowKind::kCopy1To2, static_cast<std::uint32_t>(i), 0});
  }
  tandrel::bench::SilentDialogs quiet;
  tandrel::FormShell shell(quiet, form.pointer());
  QElapsedTimer timer;
  for (int round = 0; round < 3; ++round) {
    form.plan().Clear();
    Settle();
    timer.start();
    const std::vector<tandrel::PlanRow> texts = result.plan.Rows(/*checked=*/false);
    const double making_texts = Ms(timer);
    tandrel::BuildResult copy = result;  // the window takes the plan; the rounds reuse it
    timer.start();
    tandrel::FinishCompareRun(std::move(copy), form.plan(), shell);
    Settle();
    std::printf(
        "200,000 rows appended and ticked (with repaint): %.1f ms (making all their texts "
        "would take %.1f ms)\n",
        Ms(timer), making_texts);
  }

  for (const char* name : {"Check8", "Check7", "Check8", "Check7"}) {
    timer.restart();
    form.findChild<QToolButton*>(QString::fromUtf8(name))->click();
    Settle();
    std::printf("%s over 200,000 rows (with repaint): %.2f ms\n",
                std::string(name) == "Check7" ? "Check All  " : "Uncheck All", Ms(timer));
  }

  QScrollBar* bar = view->verticalScrollBar();
  double worst = 0;
  timer.restart();
  int pages = 0;
  for (int value = 0; value < bar->maximum() && pages < 400;
       value += bar->pageStep() * 50, ++pages) {
    QElapsedTimer one;
    one.start();
    bar->setValue(value);
    view->viewport()->repaint();
    worst = std::max(worst, Ms(one));
  }
  std::printf("scrolling: %d jumps, %.2f ms each on average, worst %.2f ms\n", pages,
              Ms(timer) / pages, worst);
  form.plan().Clear();

  // Two 100,000-file trees.
  std::filesystem::remove_all(scratch);
  timer.restart();
  const auto now = std::filesystem::file_time_type::clock::now();
  MakeTree(scratch / "one", "a", 100'000, 50'000, now - std::chrono::hours(24));
  MakeTree(scratch / "two", "b", 100'000, 50'000, now - std::chrono::hours(48));
  std::printf("made two 100,000-file trees in %.1f s\n", Ms(timer) / 1000);

  dialogs.answers = {(scratch / "one").string(), (scratch / "two").string()};
  form.findChild<QToolButton*>(QStringLiteral("Check3"))->click();
  form.findChild<QToolButton*>(QStringLiteral("Check1"))->click();
  double longest_gap = 0;
  int repaints = 0;
  QElapsedTimer since_last;
  QTimer heartbeat;
  heartbeat.setInterval(10);
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    longest_gap = std::max(longest_gap, Ms(since_last));
    form.repaint();
    ++repaints;
    since_last.restart();
  });
  timer.restart();
  since_last.start();
  heartbeat.start();
  form.findChild<QToolButton*>(QStringLiteral("Check5"))->click();
  while (form.CompareRunning()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  const double whole = Ms(timer);
  const double gap_while_walking = longest_gap;
  // The rows are appended on the window's thread once the walk is done;
  // keep beating for a while to see that pause too.
  QElapsedTimer after;
  after.start();
  while (after.elapsed() < 300) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  heartbeat.stop();
  std::printf(
      "compare of two 100,000-file trees: %.2f s, %d rows, %d repaints, longest gap while "
      "walking %.1f ms, including showing the rows %.1f ms\n",
      whole / 1000, form.plan().Count(), repaints, gap_while_walking, longest_gap);
  std::filesystem::remove_all(scratch);
  return 0;
}
