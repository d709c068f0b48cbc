#include "app/form1.h"

#include <QApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QIcon>
#include <QMouseEvent>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>

#include "app/form_text.h"
#include "app/picture_button.h"
#include "app/progress_dialog.h"
#include "compare/compare_run.h"
#include "folders/slot_actions.h"
#include "sync/sync_run.h"
#include "sync/sync_thread.h"

namespace tandrel {
namespace {

// Column widths are kept in twips, the unit the layout was made in.
constexpr int kTwipsPerPixel = 15;
constexpr int Pixels(int twips) { return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel; }

QFont ButtonFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(11.25);
  font.setBold(true);
  return font;
}

QFont ListFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(9);
  font.setBold(true);
  return font;
}

// A folder slot's list: double-clicking anywhere in it asks for the
// selected entry to be removed.
class FolderList final : public QTreeWidget {
 public:
  using QTreeWidget::QTreeWidget;
  std::function<void()> on_double_click;

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    QTreeWidget::mouseDoubleClickEvent(event);
    if (on_double_click) on_double_click();
  }
};

// What the three lists share: name, place, font, tooltip, one whole row
// selected at a time, nothing edited in place, a fixed header, a white
// background.
void SetUpView(QAbstractItemView* list, QHeaderView* header, const QString& name,
               const QRect& geometry) {
  list->setObjectName(name);
  list->setGeometry(geometry);
  list->setFont(ListFont());
  list->setToolTip(QString::fromUtf8(kListToolTip));
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setSectionsMovable(false);
  QPalette palette = list->palette();
  palette.setColor(QPalette::Base, Qt::white);
  list->setPalette(palette);
}

void SetUpList(QTreeView* list, const QString& name, const QRect& geometry) {
  SetUpView(list, list->header(), name, geometry);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setSortingEnabled(false);
  list->setAllColumnsShowFocus(true);
}

// The plan's list: a table, which lays out only the rows it shows (a tree
// lays out every row, and a compare may give millions), made to look and
// behave as the folder lists do: no grid, no row numbers, rows of one
// height, whole rows selected.
void SetUpPlanList(QTableView* list, const QString& name, const QRect& geometry) {
  SetUpView(list, list->horizontalHeader(), name, geometry);
  list->horizontalHeader()->setHighlightSections(false);
  list->setShowGrid(false);
  list->setWordWrap(false);
  list->setSortingEnabled(false);
  list->setCornerButtonEnabled(false);
  list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  QHeaderView* rows = list->verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  // The height a tree's row of a checked text has in this font and style.
  QStyleOptionViewItem row;
  row.initFrom(list);
  row.font = list->font();
  row.fontMetrics = QFontMetrics(row.font);
  row.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasCheckIndicator;
  row.text = QStringLiteral("Xg");
  rows->setMinimumSectionSize(1);
  rows->setDefaultSectionSize(
      list->style()->sizeFromContents(QStyle::CT_ItemViewItem, &row, QSize(), list).height());
}

QTreeWidget* MakeFolderList(QWidget* parent, const QString& name, const QRect& geometry,
                            std::function<void()> on_double_click) {
  auto* list = new FolderList(parent);
  SetUpList(list, name, geometry);
  list->setColumnCount(1);
  list->on_double_click = std::move(on_double_click);
  return list;
}

PictureButton* MakeButton(QWidget* parent, const QString& name, const char* caption,
                          const QString& picture, const QRect& geometry,
                          std::function<void()> action) {
  auto* button = new PictureButton(QString::fromUtf8(caption),
                                   QIcon(QStringLiteral(":/pictures/") + picture), parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  button->setFont(ButtonFont());
  QPalette palette = button->palette();
  palette.setColor(QPalette::Button, Qt::white);
  palette.setColor(QPalette::Window, Qt::white);
  button->setPalette(palette);
  button->SetAction(std::move(action));
  return button;
}

QIcon TransparentIcon() {
  QPixmap nothing(32, 32);
  nothing.fill(Qt::transparent);
  return QIcon(nothing);
}

}  // namespace

Form1::Form1(std::shared_ptr<FileSystem> fs, Dialogs& dialogs)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      fs_(std::move(fs)),
      pointer_(*this),
      shell_(dialogs, pointer_),
      compare_(fs_),
      feedback_(pointer_) {
  setObjectName(QStringLiteral("Form1"));
  setFixedSize(kClientWidth, kClientHeight);
  setWindowIcon(TransparentIcon());
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setAutoFillBackground(true);

  list1_ = MakeFolderList(this, QStringLiteral("ListView1"), QRect(8, 8, 601, 41),
                          [this] { RemoveSelectedFolder(*slot1_); });
  list2_ = MakeFolderList(this, QStringLiteral("ListView2"), QRect(8, 56, 601, 41),
                          [this] { RemoveSelectedFolder(*slot2_); });
  slot1_ = std::make_unique<FolderSlotView>(*list1_);
  slot2_ = std::make_unique<FolderSlotView>(*list2_);

  auto* check3 =
      MakeButton(this, QStringLiteral("Check3"), "1. Choose Folder 1", QStringLiteral("choose.png"),
                 QRect(8, 104, 145, 73), [this] { ChooseFolder(*slot1_, shell_); });
  auto* check2 =
      MakeButton(this, QStringLiteral("Check2"), "Remove Folder 1", QStringLiteral("remove.png"),
                 QRect(160, 104, 145, 73), [this] { RemoveFolder(*slot1_); });
  auto* check1 =
      MakeButton(this, QStringLiteral("Check1"), "2. Choose Folder 2", QStringLiteral("choose.png"),
                 QRect(312, 104, 145, 73), [this] { ChooseFolder(*slot2_, shell_); });
  auto* check4 =
      MakeButton(this, QStringLiteral("Check4"), "Remove Folder 2", QStringLiteral("remove.png"),
                 QRect(464, 104, 145, 73), [this] { RemoveFolder(*slot2_); });

  list3_ = new QTableView(this);
  SetUpPlanList(list3_, QStringLiteral("ListView3"), QRect(8, 184, 601, 143));
  list3_->setModel(&plan_);

  auto* check5 =
      MakeButton(this, QStringLiteral("Check5"), "3. Compare -- Just Preview Possibilities",
                 QStringLiteral("compare.png"), QRect(8, 336, 177, 73), [this] { Compare(); });
  QPalette black_caption = check5->palette();
  black_caption.setColor(QPalette::ButtonText, Qt::black);
  check5->setPalette(black_caption);
  auto* check7 =
      MakeButton(this, QStringLiteral("Check7"), "Check All", QStringLiteral("check_all.png"),
                 QRect(192, 336, 97, 73), [this] { CheckAll(plan_); });
  auto* check8 =
      MakeButton(this, QStringLiteral("Check8"), "Uncheck All", QStringLiteral("uncheck_all.png"),
                 QRect(296, 336, 97, 73), [this] { UncheckAll(plan_); });
  auto* check6 =
      MakeButton(this, QStringLiteral("Check6"), "4. Sync -- Execute Checked File Operations",
                 QStringLiteral("sync.png"), QRect(400, 336, 209, 73), [this] { Sync(); });

  const QList<QWidget*> tab_order = {list1_, check3, check2, list2_, check1, check4,
                                     check5, check6, list3_, check7, check8};
  for (qsizetype i = 1; i < tab_order.size(); ++i) {
    setTabOrder(tab_order[i - 1], tab_order[i]);
  }
  list1_->setFocus();

  feedback_.Watch(this, Pointer::kDefault, /*inside=*/false);
  for (QWidget* list : {static_cast<QWidget*>(list1_), static_cast<QWidget*>(list2_),
                        static_cast<QWidget*>(list3_)}) {
    feedback_.Watch(list, Pointer::kDefault);
  }
  for (QWidget* button : {check1, check2, check3, check4, check5, check6, check7, check8}) {
    feedback_.Watch(button, Pointer::kHand);
  }
}

Form1::~Form1() {
  // The model is a member and goes before the child views do.
  list3_->setModel(nullptr);
}

void Form1::CreateColumns() {
  list1_->setHeaderLabels({QStringLiteral("Folder 1")});
  list1_->setColumnWidth(0, Pixels(7000));
  list2_->setHeaderLabels({QStringLiteral("Folder 2")});
  list2_->setColumnWidth(0, Pixels(7000));
  list3_->setColumnWidth(PlanModel::kSourceColumn, Pixels(2800));
  list3_->setColumnWidth(PlanModel::kActionColumn, Pixels(2600));
  list3_->setColumnWidth(PlanModel::kDestinationColumn, Pixels(2800));
}

void Form1::Compare() {
  // One run at a time: a press while the trees are still being walked is
  // ignored, and so is Sync, which would act on a plan about to be replaced.
  if (compare_.Running()) return;
  const std::optional<CompareRequest> request = StartCompareRun(plan_, *slot1_, *slot2_, shell_);
  if (!request) return;
  compared_ = *request;
  compare_.Start(
      *request, [this](BuildResult result) { FinishCompareRun(std::move(result), plan_, shell_); });
}

void Form1::Sync() {
  if (compare_.Running()) return;
  // The rows are performed on a thread of their own while this thread runs
  // its message loop: the window repaints and a progress window can be
  // used, while the main window itself takes nothing, as under a message
  // box. What the run does to the plan and its messages come back here.
  InputGuard guard(this);
  SyncThread sync(plan_, shell_, [this](SyncThread::Task task) {
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
  });
  ProgressDialog progress(this, sync);
  QEventLoop loop;
  bool running = true;
  bool opened = false;
  // The progress window opens once the run has taken a while, and never
  // over a message of the run: it goes before each box, so that the box is
  // in front and takes the keyboard, and the wait starts again after it.
  // The run's last message ends it, so that one stays alone.
  QTimer opener;
  opener.setSingleShot(true);
  opener.setInterval(kProgressDelay);
  QObject::connect(&opener, &QTimer::timeout, &progress, [&] {
    if (!running) return;
    progress.open();
    opened = true;
  });
  sync.AroundMessages(
      [&] {
        opener.stop();
        progress.hide();
        // A long sync that speaks while the user is elsewhere asks for
        // attention.
        if (opened && QApplication::activeWindow() == nullptr) QApplication::alert(this);
      },
      [&] { opener.start(); });
  opener.start();
  sync.Start(compared_, *fs_, [&] {
    running = false;
    loop.quit();
  });
  loop.exec();
  opener.stop();
  progress.hide();
  const std::string stopped = sync.StoppedText();
  if (!stopped.empty()) shell_.ShowMessage(stopped);
}

}  // namespace tandrel
