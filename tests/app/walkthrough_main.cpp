// The window with a scripted folder picker, walking the road of one use on
// its own and saving a picture of the screen at each step with ImageMagick's
// `import`. Used by scripts/screenshots.sh under a virtual X server.
//
//   tandrel_walkthrough FOLDER1 FOLDER2 SHOTS_FOLDER
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <deque>
#include <functional>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form_load.h"
#include "platform/system.h"

namespace {

QString g_shots;

void Shot(const char* name) {
  const QString path = g_shots + QLatin1Char('/') + QString::fromUtf8(name) + ".png";
  QApplication::processEvents();
  QProcess::execute(QStringLiteral("import"),
                    {QStringLiteral("-window"), QStringLiteral("root"), path});
  std::printf("saved %s\n", qPrintable(path));
}

// Real message boxes and one real folder picker, each photographed and then
// closed by the script; the picker's answers come from the command line.
class WalkDialogs final : public tandrel::Dialogs {
 public:
  QWidget* owner = nullptr;
  std::deque<std::string> answers;
  std::deque<const char*> message_shots;
  bool picker_shown = false;

  void ShowMessage(const std::string& text) override {
    std::unique_ptr<QMessageBox> box = tandrel::MakeMessageBox(owner, text);
    const char* name = message_shots.empty() ? "message" : message_shots.front();
    if (!message_shots.empty()) message_shots.pop_front();
    // Taken as a person reads it: two seconds after it appears.
    QTimer::singleShot(2000, box.get(), [&box, name] {
      Shot(name);
      box->accept();
    });
    box->exec();
  }
  std::string BrowseForFolder(const std::string& title) override {
    if (!picker_shown) {
      picker_shown = true;
      QFileDialog picker(owner, QString::fromStdString(title), QStringLiteral("/"));
      picker.setFileMode(QFileDialog::Directory);
      picker.setOption(QFileDialog::ShowDirsOnly);
      QTimer::singleShot(1200, &picker, [&picker] {
        Shot("03-folder-picker");
        picker.reject();
      });
      picker.exec();
    }
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void StartDetached(const std::string&, const std::vector<std::string>&, bool) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FOLDER1 FOLDER2 SHOTS_FOLDER\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  g_shots = QString::fromLocal8Bit(argv[3]);
  std::shared_ptr<tandrel::FileSystem> fs = tandrel::MakeRealFileSystem();
  WalkDialogs dialogs;
  dialogs.answers = {argv[1], argv[2]};
  dialogs.message_shots = {"08-done-message"};
  tandrel::Form1 form(fs, dialogs);
  dialogs.owner = &form;
  tandrel::StartUp start_up;
  start_up.executable_folder = QCoreApplication::applicationDirPath().toStdString();
  start_up.draw = [] { return 0.5; };
  tandrel::FormLoad(form, *fs, start_up);
  form.show();
  // With no window manager under the virtual X server, nothing activates
  // the window, and Qt shows tooltips only over an active one.
  form.activateWindow();

  auto button = [&form](const char* name) {
    return form.findChild<QToolButton*>(QString::fromUtf8(name));
  };
  auto* plan_view = form.findChild<QTableView*>(QStringLiteral("ListView3"));
  // The pointer is moved through the X server, as a mouse would move it.
  auto at = [](QWidget* widget, QPoint where) {
    const QPoint global = widget->mapToGlobal(where);
    QProcess::execute(
        QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QString::number(global.x()), QString::number(global.y())});
  };

  std::deque<std::function<void()>> steps = {
      [&] { Shot("01-start"); },
      [&] { at(button("Check3"), QPoint(70, 40)); },
      [&] { Shot("02-hand-over-choose"); },
      [&] { button("Check3")->click(); },
      [&] { button("Check1")->click(); },
      [&] { at(&form, QPoint(612, 300)); },
      [&] { Shot("04-two-folders"); },
      [&] { button("Check5")->click(); },
      [&] { Shot("05-plan"); },
      [&] {
        form.plan().SetChecked(2, false);
        plan_view->setCurrentIndex(form.plan().index(1, 0));
        at(plan_view->viewport(), QPoint(300, 60));
      },
      [&] { Shot("06-one-unticked"); },
      [&] { button("Check1")->click(); },  // a second choice: the refusal
      [&] { button("Check6")->click(); },
      [&] { Shot("09-after-sync"); },
      [&] { QApplication::quit(); },
  };
  dialogs.message_shots = {"07-already-selected", "08-done-message"};
  QTimer timer;
  timer.setInterval(1500);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (form.CompareRunning() || steps.empty()) return;
    std::function<void()> step = std::move(steps.front());
    steps.pop_front();
    step();
  });
  timer.start();
  return QApplication::exec();
}
