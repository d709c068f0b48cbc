#include "app/form_load.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QTableView>
#include <QTreeWidget>

#include "app/form_helpers.h"
#include "app/hand_cursor.h"
#include "app/home_page.h"
#include "platform/system.h"
#include "scripted_dialogs.h"
#include "support/fake_window.h"
#include "support/temp_folder.h"

namespace tandrel {
namespace {

using testing::FakeShell;
using testing::ScriptedDialogs;
using testing::TempFolder;

QByteArray ShippedCursor() {
  QFile file(QStringLiteral(TANDREL_HAND_CURSOR_FILE));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly));
  return file.readAll();
}

TEST(HandCursor, ReadsTheShippedCursorWithItsHotSpot) {
  const QByteArray bytes = ShippedCursor();
  ASSERT_EQ(CursorHotSpot(bytes), QPoint(6, 0));
  const std::optional<QCursor> cursor = CursorFromFile(bytes);
  ASSERT_TRUE(cursor.has_value());
  EXPECT_EQ(cursor->shape(), Qt::BitmapCursor);
  EXPECT_EQ(cursor->hotSpot(), QPoint(6, 0));
  const QImage image = cursor->pixmap().toImage();
  EXPECT_EQ(image.size(), QSize(32, 32));
  // The fingertip's outline is opaque, the corner beside it transparent.
  EXPECT_EQ(qAlpha(image.pixel(6, 0)), 255);
  EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
}

TEST(HandCursor, RefusesWhatIsNoCursor) {
  EXPECT_FALSE(CursorFromFile(QByteArray()).has_value());
  EXPECT_FALSE(CursorFromFile(QByteArray("not a cursor at all, just some text")).has_value());
  QByteArray icon = ShippedCursor();
  icon[2] = 1;  // an icon file: no hot spot
  EXPECT_FALSE(CursorHotSpot(icon).has_value());
  QByteArray broken = ShippedCursor().left(60);  // the header is there, the image is not
  EXPECT_TRUE(CursorHotSpot(broken).has_value());
  EXPECT_FALSE(CursorFromFile(broken).has_value());
}

TEST(CenterForm, PutsTheOuterWindowInTheMiddleOfTheWholeScreen) {
  EXPECT_EQ(CenteredPosition(QRect(0, 0, 1920, 1080), QSize(623, 448)), QPoint(648, 316));
  // Larger than the screen: it overhangs both sides alike.
  EXPECT_EQ(CenteredPosition(QRect(0, 0, 600, 400), QSize(640, 480)), QPoint(-20, -40));
  // An odd half rounds down, also below zero.
  EXPECT_EQ(CenteredPosition(QRect(0, 0, 101, 100), QSize(100, 103)), QPoint(0, -2));
  // A primary screen that does not start at the origin.
  EXPECT_EQ(CenteredPosition(QRect(1920, 0, 1280, 1024), QSize(280, 24)), QPoint(2420, 500));
}

TEST(HomePage, OpensOnlyOnDrawSevenAndOnlyWithAnAddress) {
  const std::string address = "https://tandrel.example/";
  struct Case {
    double r;
    bool opens;
  };
  for (const Case c : {Case{0.06, true}, Case{0.0699, true}, Case{0.07, false}, Case{0.0599, false},
                       Case{0.0, false}, Case{0.999, false}}) {
    FakeShell shell;
    int draws = 0;
    MaybeOpenHomePage(shell, address, [&] {
      ++draws;
      return c.r;
    });
    EXPECT_EQ(draws, 1);
    ASSERT_EQ(shell.started.size(), c.opens ? 1u : 0u) << c.r;
    if (c.opens) {
      EXPECT_EQ(shell.started[0].program, "xdg-open");
      EXPECT_EQ(shell.started[0].arguments, std::vector<std::string>{address});
      EXPECT_TRUE(shell.started[0].minimized);
    }
  }
  FakeShell shell;
  int draws = 0;
  MaybeOpenHomePage(shell, "", [&] {
    ++draws;
    return 0.065;
  });
  EXPECT_EQ(draws, 1);
  EXPECT_TRUE(shell.started.empty());
}

class FormLoadTest : public ::testing::Test {
 protected:
  std::shared_ptr<FileSystem> fs_ = MakeRealFileSystem();
  ScriptedDialogs dialogs_;
  TempFolder executable_folder_;
};

TEST_F(FormLoadTest, PreparesCaptionColumnsPositionAndHandFromTheCursorFile) {
  {
    QFile::copy(QStringLiteral(TANDREL_HAND_CURSOR_FILE),
                QString::fromStdString(executable_folder_.path() + kHandCursorFile));
  }
  Form1 form(fs_, dialogs_);
  StartUp start_up;
  start_up.executable_folder = executable_folder_.path();
  start_up.executable_folder.pop_back();
  start_up.home_page = "https://tandrel.example/";
  start_up.draw = [] { return 0.065; };
  FormLoad(form, *fs_, start_up);

  EXPECT_EQ(form.windowTitle(), QStringLiteral("Tandrel"));
  ASSERT_TRUE(form.pointer().HandImage().has_value());
  EXPECT_EQ(form.pointer().HandImage()->hotSpot(), QPoint(6, 0));
  EXPECT_EQ(dialogs_.started, (std::vector<std::string>{"xdg-open", "https://tandrel.example/"}));
  EXPECT_TRUE(dialogs_.started_minimized);

  auto* list1 = form.findChild<QTreeWidget*>(QStringLiteral("ListView1"));
  auto* list2 = form.findChild<QTreeWidget*>(QStringLiteral("ListView2"));
  auto* list3 = form.findChild<QTableView*>(QStringLiteral("ListView3"));
  ASSERT_TRUE(list1 && list2 && list3);
  EXPECT_EQ(list1->headerItem()->text(0), QStringLiteral("Folder 1"));
  EXPECT_EQ(list2->headerItem()->text(0), QStringLiteral("Folder 2"));
  EXPECT_EQ(list1->columnCount(), 1);
  EXPECT_EQ(list1->columnWidth(0), 467);
  EXPECT_EQ(list2->columnWidth(0), 467);
  const QAbstractItemModel* plan = list3->model();
  EXPECT_EQ(plan->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Source"));
  EXPECT_EQ(plan->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Action"));
  EXPECT_EQ(plan->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Destination"));
  EXPECT_EQ(list3->columnWidth(0), 187);
  EXPECT_EQ(list3->columnWidth(1), 173);
  EXPECT_EQ(list3->columnWidth(2), 187);

  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(form.pos(), CenteredPosition(screen, form.frameGeometry().size()));
}

TEST_F(FormLoadTest, WithoutACursorFileTheHandIsTheArrowAndNothingIsSaid) {
  Form1 form(fs_, dialogs_);
  StartUp start_up;
  start_up.executable_folder = executable_folder_.path() + "nowhere";
  start_up.draw = [] { return 0.5; };
  FormLoad(form, *fs_, start_up);
  EXPECT_FALSE(form.pointer().HandImage().has_value());
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_TRUE(dialogs_.started.empty());
  form.pointer().Set(Pointer::kHand);
  EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(FormLoadTest, InstalledUnderAPrefixTheHandComesFromShareTandrel) {
  executable_folder_.MakeFolder("bin");
  executable_folder_.MakeFolder("share/tandrel");
  ASSERT_TRUE(QFile::copy(
      QStringLiteral(TANDREL_HAND_CURSOR_FILE),
      QString::fromStdString(executable_folder_.path() + "share/tandrel/" + kHandCursorFile)));
  Form1 form(fs_, dialogs_);
  StartUp start_up;
  start_up.executable_folder = executable_folder_.path() + "bin";
  start_up.draw = [] { return 0.5; };
  FormLoad(form, *fs_, start_up);
  ASSERT_TRUE(form.pointer().HandImage().has_value());
  EXPECT_EQ(form.pointer().HandImage()->hotSpot(), QPoint(6, 0));
}

TEST_F(FormLoadTest, TheCursorBesideTheExecutableComesBeforeTheSharedOne) {
  // The shared file is no cursor: were it read, the hand would stay the arrow.
  executable_folder_.Write("share/tandrel/" + std::string(kHandCursorFile), "not a cursor");
  executable_folder_.MakeFolder("bin");
  ASSERT_TRUE(
      QFile::copy(QStringLiteral(TANDREL_HAND_CURSOR_FILE),
                  QString::fromStdString(executable_folder_.path() + "bin/" + kHandCursorFile)));
  Form1 form(fs_, dialogs_);
  StartUp start_up;
  start_up.executable_folder = executable_folder_.path() + "bin";
  start_up.draw = [] { return 0.5; };
  FormLoad(form, *fs_, start_up);
  EXPECT_TRUE(form.pointer().HandImage().has_value());
}

TEST_F(FormLoadTest, AFileThatIsNoCursorLeavesTheHandAsTheArrow) {
  executable_folder_.Write(kHandCursorFile, "this is not a cursor");
  Form1 form(fs_, dialogs_);
  StartUp start_up;
  start_up.executable_folder = executable_folder_.path();
  start_up.executable_folder.pop_back();
  start_up.draw = [] { return 0.5; };
  FormLoad(form, *fs_, start_up);
  EXPECT_FALSE(form.pointer().HandImage().has_value());
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Tandrel"));
}

}  // namespace
}  // namespace tandrel
