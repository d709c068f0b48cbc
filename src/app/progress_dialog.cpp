#include "app/progress_dialog.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/form_text.h"

namespace tandrel {
namespace {

constexpr int kWidth = 420;

}  // namespace

ProgressDialog::ProgressDialog(QWidget* owner, SyncThread& sync)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint),
      sync_(sync) {
  setObjectName(QStringLiteral("SyncProgress"));
  setWindowTitle(QString::fromUtf8(kFormCaption));
  setWindowModality(Qt::WindowModal);
  setFixedWidth(kWidth);

  rows_ = new QLabel(this);
  rows_->setObjectName(QStringLiteral("Rows"));
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("Bar"));
  bar_->setRange(0, 1000);
  bar_->setTextVisible(false);
  bytes_ = new QLabel(this);
  bytes_->setObjectName(QStringLiteral("Bytes"));
  file_ = new QLabel(this);
  file_->setObjectName(QStringLiteral("File"));
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancel_->setObjectName(QStringLiteral("Cancel"));
  cancel_->setAutoDefault(false);
  connect(cancel_, &QPushButton::clicked, this, [this] { Cancel(); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(rows_);
  layout->addWidget(bar_);
  layout->addWidget(bytes_);
  layout->addWidget(file_);
  layout->addLayout(buttons);

  timer_.setInterval(kProgressInterval);
  connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
  timer_.start();
  Refresh();
}

void ProgressDialog::Refresh() {
  const ProgressView view = meter_.Read(sync_.progress());
  rows_->setText(QString::fromStdString(view.rows));
  bar_->setValue(view.per_mille);
  bytes_->setText(QString::fromStdString(view.bytes));
  // Long paths lose their middle, so that both the top folder and the
  // file's name stay in sight.
  const int room = kWidth - 2 * layout()->contentsMargins().left();
  file_->setText(file_->fontMetrics().elidedText(ShownText(view.file), Qt::ElideMiddle, room));
}

void ProgressDialog::reject() { Cancel(); }

void ProgressDialog::Cancel() {
  sync_.Stop();
  cancel_->setEnabled(false);
  cancel_->setText(QStringLiteral("Stopping..."));
}

InputGuard::InputGuard(QWidget* window) : window_(window) { qApp->installEventFilter(this); }

InputGuard::~InputGuard() { qApp->removeEventFilter(this); }

bool InputGuard::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::Shortcut:
    case QEvent::Close:
      break;
    default:
      return false;
  }
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != window_) return false;
  event->ignore();
  return true;
}

}  // namespace tandrel
