#include "app/form1.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/form_load.h"
#include "app/hand_cursor.h"
#include "platform/system.h"
#include "scripted_dialogs.h"
#include "support/fake_file_system.h"
#include "support/forwarding_file_system.h"
#include "support/temp_folder.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::ScriptedDialogs;
using testing::TempFolder;

constexpr const char* kAlreadySelected = "You already have a folder selected.";
constexpr const char* kSelectTwo = "Please select two folders to compare.";

// A file system that holds every listing at a gate until the test opens
// it, so that a compare run can be caught while it walks.
class GatedFileSystem final : public testing::ForwardingFileSystem {
 public:
  explicit GatedFileSystem(std::shared_ptr<FileSystem> inner)
      : ForwardingFileSystem(std::move(inner)) {
    before = [this](std::string_view call, std::string_view) {
      if (call != "List") return;
      std::unique_lock<std::mutex> lock(mutex_);
      ++listings_;
      changed_.wait(lock, [this] { return open_; });
    };
  }

  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  int Listings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return listings_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int listings_ = 0;
};

class Form1Test : public ::testing::Test {
 protected:
  void Open(std::shared_ptr<FileSystem> fs, bool with_hand = true) {
    form_ = std::make_unique<Form1>(fs, dialogs_);
    StartUp start_up;
    start_up.executable_folder = with_hand ? std::string(TANDREL_RESOURCES) : "/nowhere";
    start_up.draw = [] { return 0.5; };
    FormLoad(*form_, *fs, start_up);
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  }
  void OpenOnDisk(bool with_hand = true) { Open(MakeRealFileSystem(), with_hand); }

  QToolButton* Button(const char* name) {
    auto* button = form_->findChild<QToolButton*>(QString::fromUtf8(name));
    EXPECT_NE(button, nullptr) << name;
    return button;
  }
  QTreeWidget* FolderList(const char* name) {
    auto* list = form_->findChild<QTreeWidget*>(QString::fromUtf8(name));
    EXPECT_NE(list, nullptr) << name;
    return list;
  }
  QTableView* PlanView() { return form_->findChild<QTableView*>(QStringLiteral("ListView3")); }
  void Press(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  std::vector<std::string> Entries(const char* name) {
    std::vector<std::string> entries;
    QTreeWidget* list = FolderList(name);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      entries.push_back(list->topLevelItem(i)->text(0).toStdString());
    }
    return entries;
  }
  std::vector<PlanRow> Plan() {
    std::vector<PlanRow> rows;
    for (int i = 1; i <= form_->plan().Count(); ++i) rows.push_back(form_->plan().Row(i));
    return rows;
  }
  // Chooses both folders through the buttons.
  void ChooseBoth(const std::string& one, const std::string& two) {
    dialogs_.answers = {one, two};
    Press("Check3");
    Press("Check1");
  }
  bool CompareAndWait() {
    Press("Check5");
    return QTest::qWaitFor([this] { return !form_->CompareRunning(); }, 10000);
  }
  void MoveOver(QWidget* widget, QPoint at = QPoint(5, 5)) { QTest::mouseMove(widget, at); }

  ScriptedDialogs dialogs_;
  std::unique_ptr<Form1> form_;
};

TEST_F(Form1Test, LaysOutTheElevenControls) {
  OpenOnDisk();
  EXPECT_EQ(form_->size(), QSize(617, 417));
  EXPECT_EQ(form_->minimumSize(), form_->maximumSize());
  const Qt::WindowFlags flags = form_->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form_->palette().color(QPalette::Window), QColor(Qt::white));
  const QImage icon = form_->windowIcon().pixmap(32, 32).toImage();
  ASSERT_FALSE(icon.isNull());
  for (int y = 0; y < icon.height(); ++y) {
    for (int x = 0; x < icon.width(); ++x) ASSERT_EQ(qAlpha(icon.pixel(x, y)), 0);
  }

  struct Expected {
    const char* name;
    const char* caption;
    QRect geometry;
  };
  const Expected buttons[] = {
      {"Check3", "1. Choose Folder 1", QRect(8, 104, 145, 73)},
      {"Check2", "Remove Folder 1", QRect(160, 104, 145, 73)},
      {"Check1", "2. Choose Folder 2", QRect(312, 104, 145, 73)},
      {"Check4", "Remove Folder 2", QRect(464, 104, 145, 73)},
      {"Check5", "3. Compare -- Just Preview Possibilities", QRect(8, 336, 177, 73)},
      {"Check7", "Check All", QRect(192, 336, 97, 73)},
      {"Check8", "Uncheck All", QRect(296, 336, 97, 73)},
      {"Check6", "4. Sync -- Execute Checked File Operations", QRect(400, 336, 209, 73)},
  };
  for (const Expected& e : buttons) {
    QToolButton* button = Button(e.name);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QString::fromUtf8(e.caption)) << e.name;
    EXPECT_EQ(button->geometry(), e.geometry) << e.name;
    EXPECT_EQ(button->font().family(), QStringLiteral("Arial")) << e.name;
    EXPECT_DOUBLE_EQ(button->font().pointSizeF(), 11.25) << e.name;
    EXPECT_EQ(button->font().weight(), QFont::Bold) << e.name;
    EXPECT_EQ(button->icon().availableSizes().value(0), QSize(32, 32)) << e.name;
    EXPECT_FALSE(button->isChecked()) << e.name;
    EXPECT_TRUE(button->isEnabled()) << e.name;
  }
  EXPECT_EQ(Button("Check5")->palette().color(QPalette::ButtonText), QColor(Qt::black));

  const std::pair<const char*, QRect> lists[] = {{"ListView1", QRect(8, 8, 601, 41)},
                                                 {"ListView2", QRect(8, 56, 601, 41)},
                                                 {"ListView3", QRect(8, 184, 601, 143)}};
  for (const auto& [name, geometry] : lists) {
    auto* list = form_->findChild<QAbstractItemView*>(QString::fromUtf8(name));
    ASSERT_NE(list, nullptr) << name;
    EXPECT_EQ(list->geometry(), geometry) << name;
    EXPECT_EQ(list->font().family(), QStringLiteral("Arial")) << name;
    EXPECT_DOUBLE_EQ(list->font().pointSizeF(), 9) << name;
    EXPECT_EQ(list->font().weight(), QFont::Bold) << name;
    EXPECT_EQ(list->toolTip(), QStringLiteral("Double-click item to remove it. Move bar to right "
                                              "and out of window to reveal full names."));
    EXPECT_FALSE(list->property("sortingEnabled").toBool()) << name;
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers) << name;
    EXPECT_EQ(list->model()->rowCount(), 0) << name;
  }
  EXPECT_EQ(form_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(), 11);
}

TEST_F(Form1Test, StartsOnTheFirstListAndTabsInTheDesignedOrder) {
  OpenOnDisk();
  QApplication::setActiveWindow(form_.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  ASSERT_NE(QApplication::focusWidget(), nullptr);
  std::vector<std::string> order = {QApplication::focusWidget()->objectName().toStdString()};
  for (int i = 0; i < 11; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order.push_back(QApplication::focusWidget()->objectName().toStdString());
  }
  EXPECT_THAT(order, ElementsAre("ListView1", "Check3", "Check2", "ListView2", "Check1", "Check4",
                                 "Check5", "Check6", "ListView3", "Check7", "Check8", "ListView1"));
}

TEST_F(Form1Test, ListsShowTheirTooltipOverRowsAndOverFreeSpace) {
  OpenOnDisk();
  QApplication::setActiveWindow(form_.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  form_->plan().Append({{"/a/x", " could be copied to", "/b/", true}});
  const QString expected = QStringLiteral(
      "Double-click item to remove it. Move bar to right and out of window to reveal full names.");
  QWidget* viewport = PlanView()->viewport();
  for (const QPoint at :
       {PlanView()->visualRect(form_->plan().index(0, 1)).center(), QPoint(590, 100)}) {
    QToolTip::hideText();
    QHelpEvent help(QEvent::ToolTip, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &help);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QToolTip::text() == expected; }, 2000)) << at.x();
  }
  QToolTip::hideText();
}

TEST_F(Form1Test, EachPressRunsItsActionOnceWithTheButtonAlreadyUp) {
  TempFolder one, two;
  OpenOnDisk();
  QToolButton* check3 = Button("Check3");
  bool up_during_action = false;
  dialogs_.on_browse = [&] { up_during_action = !check3->isChecked() && !check3->isDown(); };
  dialogs_.answers = {one.path()};
  QTest::mouseClick(check3, Qt::LeftButton);
  EXPECT_EQ(dialogs_.browse_titles, std::vector<std::string>{"Please select folder"});
  EXPECT_TRUE(up_during_action);
  EXPECT_FALSE(check3->isChecked());

  // The space bar on the focused button is a press too.
  QToolButton* check1 = Button("Check1");
  dialogs_.on_browse = [&] { up_during_action = !check1->isChecked() && !check1->isDown(); };
  up_during_action = false;
  dialogs_.answers = {two.path()};
  check1->setFocus();
  QTest::keyClick(check1, Qt::Key_Space);
  EXPECT_EQ(dialogs_.browse_titles.size(), 2u);
  EXPECT_TRUE(up_during_action);
  EXPECT_FALSE(check1->isChecked());
  EXPECT_THAT(Entries("ListView1"), ElementsAre(one.path()));
  EXPECT_THAT(Entries("ListView2"), ElementsAre(two.path()));
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(Form1Test, FolderSlotsRefuseASecondFolderAndEmptyByButtonOrDoubleClick) {
  OpenOnDisk();
  dialogs_.answers = {"/srv//photos", "/srv/other"};
  Press("Check3");
  EXPECT_THAT(Entries("ListView1"), ElementsAre("/srv/photos/"));
  Press("Check3");
  EXPECT_THAT(dialogs_.messages, ElementsAre(kAlreadySelected));
  EXPECT_EQ(dialogs_.browse_titles.size(), 1u);
  EXPECT_THAT(Entries("ListView1"), ElementsAre("/srv/photos/"));

  Press("Check2");
  EXPECT_THAT(Entries("ListView1"), IsEmpty());
  Press("Check2");  // on an empty slot: nothing
  Press("Check3");
  EXPECT_EQ(dialogs_.browse_titles.size(), 2u);
  EXPECT_THAT(Entries("ListView1"), ElementsAre("/srv/other/"));

  // A cancelled picker changes nothing and says nothing.
  Press("Check1");
  EXPECT_THAT(Entries("ListView2"), IsEmpty());
  EXPECT_EQ(dialogs_.messages.size(), 1u);

  // Double-click: nothing without a selection, the entry with one.
  QTreeWidget* list1 = FolderList("ListView1");
  list1->clearSelection();
  QTest::mouseDClick(list1->viewport(), Qt::LeftButton, {}, QPoint(300, 30));
  EXPECT_THAT(Entries("ListView1"), ElementsAre("/srv/other/"));
  const QRect entry = list1->visualItemRect(list1->topLevelItem(0));
  QTest::mouseDClick(list1->viewport(), Qt::LeftButton, {}, entry.center());
  EXPECT_THAT(Entries("ListView1"), IsEmpty());
  QTest::mouseDClick(FolderList("ListView2")->viewport(), Qt::LeftButton, {}, QPoint(300, 30));
  EXPECT_EQ(dialogs_.messages.size(), 1u);

  dialogs_.answers = {"/srv/two"};
  Press("Check1");
  Press("Check4");
  EXPECT_THAT(Entries("ListView2"), IsEmpty());
}

TEST_F(Form1Test, CompareWithoutTwoFoldersEmptiesThePlanAndAsks) {
  OpenOnDisk();
  form_->plan().Append({{"/a/x", " could be copied to", "/b/", true}});
  dialogs_.answers = {"/a"};
  Press("Check3");
  dialogs_.on_message = [this](const std::string&) { EXPECT_EQ(form_->plan().Count(), 0); };
  Press("Check5");
  EXPECT_THAT(dialogs_.messages, ElementsAre(kSelectTwo));
  EXPECT_FALSE(form_->CompareRunning());
  EXPECT_THAT(Plan(), IsEmpty());
}

TEST_F(Form1Test, WalksTheRoadOfOneUse) {
  TempFolder one, two;
  one.Write("a.txt", "a from one");
  one.Write("sub/b.txt", "b from one");
  one.Write("~lock.txt", "skipped");
  two.Write("c.txt", "c from two");
  one.Write("both.txt", "new", 2'000'000'000);
  two.Write("both.txt", "old", 1'000'000'000);
  OpenOnDisk();

  ChooseBoth(one.path(), two.path());
  ASSERT_TRUE(CompareAndWait());
  const std::string top1 = one.path().substr(0, one.path().size() - 1);
  const std::string top2 = two.path().substr(0, two.path().size() - 1);
  std::vector<PlanRow> rows = Plan();
  ASSERT_EQ(rows.size(), 4u);
  std::sort(rows.begin(), rows.begin() + 2,
            [](const PlanRow& a, const PlanRow& b) { return a.source < b.source; });
  EXPECT_EQ(rows[0], (PlanRow{top1 + "/a.txt", " could be copied to", two.path(), true}));
  EXPECT_EQ(rows[1], (PlanRow{top1 + "/sub/b.txt", " could be copied to", two.path(), true}));
  EXPECT_EQ(rows[2], (PlanRow{top2 + "/c.txt", " could to be copied to", one.path(), true}));
  EXPECT_EQ(rows[3],
            (PlanRow{top1 + "/both.txt", " could overwrite an older", top2 + "/both.txt", true}));
  EXPECT_THAT(dialogs_.messages, IsEmpty());

  // Uncheck All, Check All, then untick the c.txt row with the space bar.
  Press("Check8");
  for (const PlanRow& row : Plan()) EXPECT_FALSE(row.checked);
  Press("Check7");
  for (const PlanRow& row : Plan()) EXPECT_TRUE(row.checked);
  QTableView* view = PlanView();
  view->setFocus();
  view->setCurrentIndex(form_->plan().index(2, 0));
  QTest::keyClick(view->viewport(), Qt::Key_Space);
  ASSERT_FALSE(form_->plan().Row(3).checked);

  std::vector<PlanRow> shown_behind_done;
  dialogs_.on_message = [&](const std::string&) { shown_behind_done = Plan(); };
  Press("Check6");
  EXPECT_THAT(dialogs_.messages, ElementsAre("Done."));
  ASSERT_EQ(shown_behind_done.size(), 4u);
  EXPECT_EQ(shown_behind_done[2].action, " could to be copied to");
  EXPECT_EQ(shown_behind_done[3].action, "Done");
  EXPECT_THAT(Plan(), IsEmpty());
  EXPECT_EQ(TempFolder::Read(two.path() + "a.txt"), "a from one");
  EXPECT_EQ(TempFolder::Read(two.path() + "b.txt"), "b from one");
  EXPECT_EQ(TempFolder::Read(two.path() + "both.txt"), "new");
  EXPECT_FALSE(std::filesystem::exists(one.path() + "c.txt"));
  EXPECT_FALSE(std::filesystem::exists(two.path() + "~lock.txt"));
}

TEST_F(Form1Test, NamesFoldersThatCouldNotBeReadOnceTheRowsAreIn) {
  auto fake = std::make_shared<FakeFileSystem>();
  fake->AddFile("/one/a.txt", "a", 1);
  fake->AddFolder("/one/locked");
  fake->AddFolder("/two");
  fake->FailPath(testing::Op::kList, "/one/locked",
                 std::make_error_code(std::errc::permission_denied));
  Open(fake);
  int rows_when_told = -1;
  dialogs_.on_message = [&](const std::string&) { rows_when_told = form_->plan().Count(); };
  ChooseBoth("/one", "/two");
  ASSERT_TRUE(CompareAndWait());
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_THAT(dialogs_.messages[0], HasSubstr("/one/locked/"));
  EXPECT_EQ(rows_when_told, 1);
  EXPECT_EQ(form_->plan().Row(1).source, "/one/a.txt");
}

TEST_F(Form1Test, IgnoresCompareAndSyncWhileTheTreesAreWalked) {
  auto fake = std::make_shared<FakeFileSystem>();
  fake->AddFile("/one/a.txt", "a", 1);
  fake->AddFolder("/two");
  auto gate = std::make_shared<GatedFileSystem>(fake);
  Open(gate);
  ChooseBoth("/one", "/two");
  Press("Check5");
  ASSERT_TRUE(form_->CompareRunning());
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate->Listings() > 0; }, 5000));

  // The window answers meanwhile; a second Compare (which would now ask for
  // two folders) and Sync (which would say "Done.") are ignored.
  Press("Check4");
  EXPECT_THAT(Entries("ListView2"), IsEmpty());
  Press("Check5");
  Press("Check6");
  EXPECT_THAT(dialogs_.messages, IsEmpty());

  gate->Open();
  ASSERT_TRUE(QTest::qWaitFor([this] { return !form_->CompareRunning(); }, 10000));
  EXPECT_THAT(Plan(), ElementsAre(PlanRow{"/one/a.txt", " could be copied to", "/two/", true}));
  Press("Check5");
  EXPECT_THAT(dialogs_.messages, ElementsAre(kSelectTwo));
}

TEST_F(Form1Test, ClosingTheWindowDuringACompareStopsTheWalkWithoutWaitingForIt) {
  auto fake = std::make_shared<FakeFileSystem>();
  for (int i = 0; i < 50; ++i) fake->AddFile("/one/f" + std::to_string(i) + "/x.txt", "x", 1);
  fake->AddFolder("/two");
  auto gate = std::make_shared<GatedFileSystem>(fake);
  std::weak_ptr<GatedFileSystem> watch = gate;
  Open(gate);
  ChooseBoth("/one", "/two");
  Press("Check5");
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate->Listings() > 0; }, 5000));

  // The walk is held at the gate: closing and destroying the window must
  // come back while it is still there.
  form_->close();
  form_.reset();
  EXPECT_EQ(gate->Listings(), 1);
  gate->Open();
  gate.reset();
  // The thread lets go of the file system when it has ended.
  ASSERT_TRUE(QTest::qWaitFor([&] { return watch.expired(); }, 10000));
  QCoreApplication::processEvents();
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  // Told to stop, the walk went no further than the folder it was in.
  EXPECT_LE(fake->Calls(testing::Op::kList), 2);
}

// A long sync runs under a progress window: the main window keeps answering
// and takes no clicks, the window's texts move, and Cancel stops the run
// part-way through a large copy, leaving the rows done in place and the
// others as they were.
TEST_F(Form1Test, ALongSyncShowsItsProgressAndStopsOnCancel) {
  auto fake = std::make_shared<FakeFileSystem>();
  for (int i = 0; i < 4; ++i) fake->AddFile("/one/s" + std::to_string(i), "small", 2);
  fake->AddFile("/one/zz.bin", std::string(4000, 'x'), 2);
  fake->AddFolder("/two");
  fake->SetBlockSize(1);
  // Each block takes a while, as on a slow stick.
  fake->SetHook([](testing::Op op, const std::string&) {
    if (op == testing::Op::kWrite) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  Open(fake);
  ChooseBoth("/one", "/two");
  ASSERT_TRUE(CompareAndWait());

  QElapsedTimer since_beat;
  since_beat.start();
  qint64 longest_gap = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout,
                   [&] { longest_gap = std::max(longest_gap, since_beat.restart()); });
  heartbeat.start(10);
  std::vector<QString> rows_seen;
  std::vector<QString> bytes_seen;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* dialog = form_->findChild<QDialog*>(QStringLiteral("SyncProgress"));
    if (dialog == nullptr || !dialog->isVisible()) return;
    EXPECT_EQ(dialog->windowTitle(), "Tandrel");
    const QString bytes = dialog->findChild<QLabel*>(QStringLiteral("Bytes"))->text();
    if (bytes_seen.empty() || bytes_seen.back() != bytes) bytes_seen.push_back(bytes);
    rows_seen.push_back(dialog->findChild<QLabel*>(QStringLiteral("Rows"))->text());
    if (bytes_seen.size() == 4) {
      Press("Check8");  // the main window takes no click meanwhile
      QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("Cancel")), Qt::LeftButton);
    }
  });
  watcher.start(100);
  QElapsedTimer run;
  run.start();
  Press("Check6");
  watcher.stop();
  heartbeat.stop();

  // Run on the window's thread, the sync froze it for all of its 4 s; now
  // the heartbeat goes on throughout. How short the stalls are is measured
  // by bench/sync_window_probe.cpp, not here: a busy machine stalls anyone.
  std::printf("longest heartbeat gap %lld ms, run %lld ms\n", static_cast<long long>(longest_gap),
              static_cast<long long>(run.elapsed()));
  ASSERT_EQ(bytes_seen.size(), 4u);
  EXPECT_THAT(rows_seen.front().toStdString(), HasSubstr(" of 5 rows"));
  const std::vector<PlanRow> rows = Plan();
  ASSERT_EQ(rows.size(), 5u);
  int done = 0;
  for (const PlanRow& row : rows) {
    EXPECT_TRUE(row.checked);
    if (row.action == "Done") ++done;
    EXPECT_EQ(fake->Exists("/two/" + row.source.substr(5)), row.action == "Done") << row.source;
  }
  EXPECT_LT(done, 5);
  EXPECT_THAT(dialogs_.messages,
              ElementsAre("Stopped. " + std::to_string(done) + " of 5 rows were done."));
  EXPECT_FALSE(fake->HasTemporaries());
}

// The run's last word stays alone in front while the user reads it: the
// progress window never opens over it (nor over a failure), whether or not
// it was up before, and OK empties the plan of a run that did every row.
TEST_F(Form1Test, TheClosingMessageStaysInFrontUntilItIsAnswered) {
  struct Case {
    const char* what;
    bool slow;  // long enough for the progress window to open first
    bool fail;  // the last row fails
  };
  for (const Case& c : {Case{"quick", false, false}, Case{"after the progress", true, false},
                        Case{"a failure after the progress", true, true}}) {
    SCOPED_TRACE(c.what);
    auto fake = std::make_shared<FakeFileSystem>();
    fake->AddFile("/one/a.txt", "small", 2);
    fake->AddFile("/one/b.bin", std::string(c.slow ? 1500 : 5, 'x'), 2);
    fake->AddFolder("/two");
    fake->SetBlockSize(1);
    fake->SetHook([slow = c.slow](testing::Op op, const std::string&) {
      if (slow && op == testing::Op::kWrite)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    if (c.fail) {
      fake->FailPath(testing::Op::kRename, "/two/b.bin",
                     std::make_error_code(std::errc::permission_denied));
    }
    Open(fake);
    ChooseBoth("/one", "/two");
    ASSERT_TRUE(CompareAndWait());

    auto progress_up = [this] {
      auto* dialog = form_->findChild<QDialog*>(QStringLiteral("SyncProgress"));
      return dialog != nullptr && dialog->isVisible();
    };
    bool progress_seen = false;
    int looks = 0, covered = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { progress_seen |= progress_up(); });
    watch.start(20);
    // Answered as a person would: after two seconds of reading.
    dialogs_.on_message = [&](const std::string& text) {
      watch.stop();
      std::unique_ptr<QMessageBox> box = MakeMessageBox(form_.get(), text);
      QTimer looker;
      QObject::connect(&looker, &QTimer::timeout, [&] {
        if (!box->isVisible()) return;  // answered in the meantime
        ++looks;
        if (progress_up() || QApplication::activeModalWidget() != box.get()) ++covered;
      });
      looker.start(100);
      QTimer::singleShot(2000, box.get(), &QMessageBox::accept);
      box->exec();
    };
    Press("Check6");
    dialogs_.on_message = nullptr;

    EXPECT_EQ(progress_seen, c.slow);
    EXPECT_GT(looks, 10);
    EXPECT_EQ(covered, 0);
    ASSERT_FALSE(dialogs_.messages.empty());
    if (c.fail) {
      EXPECT_THAT(dialogs_.messages.back(), HasSubstr("Could not copy"));
      EXPECT_EQ(form_->plan().Count(), 2);
    } else {
      EXPECT_EQ(dialogs_.messages.back(), "Done.");
      EXPECT_EQ(form_->plan().Count(), 0);
    }
    EXPECT_FALSE(progress_up());
    // Nothing of the run holds the window any more.
    EXPECT_TRUE(form_->close());
    dialogs_.messages.clear();
  }
}

TEST_F(Form1Test, PointerShowsTheHandOverButtonsAndTheArrowElsewhere) {
  OpenOnDisk();
  ASSERT_TRUE(form_->pointer().HandImage().has_value());
  EXPECT_EQ(form_->pointer().Code(), Pointer::kDefault);
  MoveOver(Button("Check5"));
  EXPECT_EQ(form_->pointer().Code(), Pointer::kHand);
  EXPECT_EQ(form_->cursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(Button("Check5")->cursor().shape(), Qt::BitmapCursor);
  MoveOver(form_.get(), QPoint(612, 200));  // the right margin: bare window
  EXPECT_EQ(form_->pointer().Code(), Pointer::kDefault);
  EXPECT_EQ(form_->cursor().shape(), Qt::ArrowCursor);
  MoveOver(Button("Check8"));
  EXPECT_EQ(form_->pointer().Code(), Pointer::kHand);
  MoveOver(PlanView()->viewport());
  EXPECT_EQ(form_->pointer().Code(), Pointer::kDefault);
  MoveOver(Button("Check2"));
  MoveOver(PlanView()->horizontalHeader());
  EXPECT_EQ(form_->pointer().Code(), Pointer::kDefault);
  MoveOver(Button("Check2"));
  MoveOver(FolderList("ListView1")->viewport());
  EXPECT_EQ(form_->pointer().Code(), Pointer::kDefault);
}

TEST_F(Form1Test, HoveringNeverReplacesTheBusyPointer) {
  OpenOnDisk();
  form_->shell().SetWindowPointer(Pointer::kBusy);
  MoveOver(Button("Check3"));
  MoveOver(FolderList("ListView2")->viewport());
  MoveOver(form_.get(), QPoint(612, 200));
  EXPECT_EQ(form_->pointer().Code(), Pointer::kBusy);
  EXPECT_EQ(form_->cursor().shape(), Qt::WaitCursor);
}

TEST_F(Form1Test, AfterChoosingAFolderThePointerIsTheArrowUntilTheMouseMoves) {
  TempFolder one;
  OpenOnDisk();
  QToolButton* check3 = Button("Check3");
  MoveOver(check3);
  ASSERT_EQ(form_->pointer().Code(), Pointer::kHand);
  dialogs_.answers = {one.path()};
  QTest::mouseClick(check3, Qt::LeftButton);
  EXPECT_EQ(form_->pointer().Code(), Pointer::kDefault);
  EXPECT_EQ(form_->cursor().shape(), Qt::ArrowCursor);
  MoveOver(check3, QPoint(20, 20));
  EXPECT_EQ(form_->pointer().Code(), Pointer::kHand);
}

TEST_F(Form1Test, WithoutTheCursorFileTheHandIsTheArrow) {
  OpenOnDisk(/*with_hand=*/false);
  MoveOver(Button("Check6"));
  EXPECT_EQ(form_->pointer().Code(), Pointer::kHand);
  EXPECT_EQ(form_->cursor().shape(), Qt::ArrowCursor);
}

}  // namespace
}  // namespace tandrel
