#include "app/dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QIcon>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSpacerItem>
#include <QStringList>

#include "app/form_text.h"

namespace tandrel {

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const std::string& text) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, QString::fromUtf8(kFormCaption),
                                           ShownText(text), QMessageBox::Ok, owner);
  // Some styles decorate the OK button with a picture; the box shows text alone.
  box->button(QMessageBox::Ok)->setIcon(QIcon());
  // A short text ("Done.") would make a box too narrow for its own caption.
  // The box sizes itself from its layout, so the width goes in as a spacer.
  constexpr int kMinimumWidth = 180;
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    grid->addItem(new QSpacerItem(kMinimumWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  return box;
}

void QtDialogs::ShowMessage(const std::string& text) { MakeMessageBox(owner_, text)->exec(); }

std::string QtDialogs::BrowseForFolder(const std::string& title) {
  const QString chosen = QFileDialog::getExistingDirectory(
      owner_, QString::fromUtf8(title), QStringLiteral("/"), QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return {};
  // The picker speaks QString; encodeName gives back the file system's own
  // bytes for the name, which is what the rest of the program works with.
  return QFile::encodeName(chosen).toStdString();
}

void QtDialogs::StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                              bool /*minimized*/) {
  // A desktop URL opener picks its own window state; there is nothing to ask
  // it for, so `minimized` has no counterpart here.
  QStringList args;
  for (const std::string& argument : arguments) args << QString::fromUtf8(argument);
  QProcess::startDetached(QString::fromUtf8(program), args);
}

}  // namespace tandrel
