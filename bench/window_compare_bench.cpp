// How the window fares with a compare of two real trees (not a test):
//   - from the press of Compare to every row shown and ticked;
//   - the longest time the window's thread went without answering a 5 ms
//     timer, from the press until a while after the rows are shown;
//   - the peak memory of the process above its size before the press.
// Each round compares again, so rounds after the first also empty the list
// of the round before.
//
//   window_compare_bench FOLDER1 FOLDER2 [ROUNDS]
// Run it under a display (xvfb-run -a) or with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <deque>
#include <fstream>
#include <string>

#include "app/form1.h"
#include "app/form_load.h"
#include "platform/system.h"
#include "silent_dialogs.h"

namespace {

// A "Vm...:" line of /proc/self/status, in kB.
long StatusKb(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// Lets VmHWM start again from the present size.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_compare_bench FOLDER1 FOLDER2 [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 2;
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  std::shared_ptr<tandrel::FileSystem> fs = tandrel::MakeRealFileSystem();
  tandrel::bench::SilentDialogs dialogs;
  tandrel::Form1 form(fs, dialogs);
  tandrel::StartUp start_up;
  start_up.draw = [] { return 0.5; };
  tandrel::FormLoad(form, *fs, start_up);
  form.show();
  dialogs.answers = {argv[1], argv[2]};
  form.findChild<QToolButton*>(QStringLiteral("Check3"))->click();
  form.findChild<QToolButton*>(QStringLiteral("Check1"))->click();
  for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);

  for (int round = 1; round <= rounds; ++round) {
    const long before_kb = StatusKb("VmRSS");
    ResetPeak();
    double longest_gap = 0;
    double longest_gap_end = 0;  // after the press
    double all_rows_ms = -1;
    QElapsedTimer since_press, since_beat;
    QTimer heartbeat;
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
      if (Ms(since_beat) > longest_gap) {
        longest_gap = Ms(since_beat);
        longest_gap_end = Ms(since_press);
      }
      since_beat.restart();
    });
    since_press.start();
    since_beat.start();
    heartbeat.start();
    form.findChild<QToolButton*>(QStringLiteral("Check5"))->click();
    // The rows are all there once the run is over and the last one is
    // ticked (Check All comes after the rows).
    const auto shown = [&] {
      const int count = form.plan().Count();
      return !form.CompareRunning() && count > 0 && form.plan().Row(count).checked;
    };
    while (!shown()) {
      QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
      if (all_rows_ms < 0 && shown()) all_rows_ms = Ms(since_press);
    }
    if (all_rows_ms < 0) all_rows_ms = Ms(since_press);
    QElapsedTimer after;
    after.start();
    while (after.elapsed() < 500) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    heartbeat.stop();
    const long peak_kb = StatusKb("VmHWM");
    const int rows = form.plan().Count();
    std::printf(
        "round %d: %d rows; press to all rows shown and ticked %.0f ms; longest gap %.1f ms "
        "(ending %.0f ms after the press); RSS before %ld MB, peak %ld MB, %.0f bytes a row "
        "above before\n",
        round, rows, all_rows_ms, longest_gap, longest_gap_end, before_kb / 1024, peak_kb / 1024,
        1024.0 * static_cast<double>(peak_kb - before_kb) / rows);
    std::fflush(stdout);
  }
  return 0;
}
