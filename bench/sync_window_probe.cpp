// Watches the window through one long sync, as a user at the screen would:
// chooses FOLDER1 and FOLDER2, compares, presses Sync, and measures how long
// the window's thread ever went without running its loop, how often the
// progress window's texts changed, and, with --cancel-after, how long
// Cancel took to end the run. With --shots, pictures of the screen mid-run
// and of the message after Cancel (ImageMagick's `import`).
//
//   sync_window_probe FOLDER1 FOLDER2 [--cancel-after SECONDS] [--shots FOLDER]
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <deque>
#include <string>

#include "app/dialogs.h"
#include "app/form1.h"
#include "platform/system.h"

namespace {

QString g_shots;

void Shot(const char* name) {
  if (g_shots.isEmpty()) return;
  QApplication::processEvents();
  QProcess::execute(QStringLiteral("import"),
                    {QStringLiteral("-window"), QStringLiteral("root"),
                     g_shots + QLatin1Char('/') + QString::fromUtf8(name) + ".png"});
}

class ProbeDialogs final : public tandrel::Dialogs {
 public:
  QWidget* owner = nullptr;
  std::deque<std::string> answers;
  QElapsedTimer* cancelled = nullptr;

  void ShowMessage(const std::string& text) override {
    if (cancelled != nullptr && cancelled->isValid()) {
      std::printf("cancel_to_message_ms %lld\n", cancelled->elapsed());
    }
    std::printf("message %s\n", text.c_str());
    std::unique_ptr<QMessageBox> box = tandrel::MakeMessageBox(owner, text);
    QTimer::singleShot(600, box.get(), [&box] {
      Shot("sync-message");
      box->accept();
    });
    box->exec();
  }
  std::string BrowseForFolder(const std::string&) override {
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void StartDetached(const std::string&, const std::vector<std::string>&, bool) override {}
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: sync_window_probe FOLDER1 FOLDER2 [--cancel-after S] [--shots DIR]\n");
    return 2;
  }
  double cancel_after = -1;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--cancel-after") cancel_after = std::stod(argv[i + 1]);
    if (option == "--shots") g_shots = QString::fromLocal8Bit(argv[i + 1]);
  }
  ProbeDialogs dialogs;
  dialogs.answers = {argv[1], argv[2]};
  tandrel::Form1 form(tandrel::MakeRealFileSystem(), dialogs);
  dialogs.owner = &form;
  form.CreateColumns();
  form.show();
  auto press = [&](const char* name) {
    form.findChild<QToolButton*>(QString::fromUtf8(name))->click();
  };

  QTimer::singleShot(200, &form, [&] {
    press("Check3");
    press("Check1");
    press("Check5");
    while (form.CompareRunning()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("rows %d\n", form.plan().Count());

    QElapsedTimer since_beat;
    qint64 longest_gap = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
      if (since_beat.isValid()) longest_gap = std::max(longest_gap, since_beat.elapsed());
      since_beat.restart();
    });
    heartbeat.start(10);

    QElapsedTimer run;
    QElapsedTimer cancelled;
    dialogs.cancelled = &cancelled;
    QString last_text;
    int changes = 0;
    bool shot = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      auto* dialog = form.findChild<QDialog*>(QStringLiteral("SyncProgress"));
      if (dialog == nullptr || !dialog->isVisible()) return;
      const QString text = dialog->findChild<QLabel*>(QStringLiteral("Rows"))->text() + " | " +
                           dialog->findChild<QLabel*>(QStringLiteral("Bytes"))->text();
      if (text != last_text) ++changes;
      last_text = text;
      if (!shot && run.elapsed() > 3000) {
        shot = true;
        Shot("sync-progress");
      }
      if (cancel_after >= 0 && !cancelled.isValid() && run.elapsed() > cancel_after * 1000) {
        std::printf("cancel at: %s\n", qPrintable(text));
        cancelled.start();
        dialog->findChild<QPushButton*>(QStringLiteral("Cancel"))->click();
      }
    });
    watcher.start(50);
    run.start();
    press("Check6");
    const double seconds = static_cast<double>(run.elapsed()) / 1000;
    std::printf("sync_s %.2f\nlongest_gap_ms %lld\ntext_changes %d (%.1f a second)\n", seconds,
                longest_gap, changes, changes / seconds);
    std::printf("last_text %s\n", qPrintable(last_text));
    int done = 0;
    for (int i = 1; i <= form.plan().Count(); ++i) done += form.plan().Row(i).action == "Done";
    std::printf("rows_left %d done_marked %d\n", form.plan().Count(), done);
    Shot("sync-after");
    app.quit();
  });
  return app.exec();
}
