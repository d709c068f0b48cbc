// tandrel: the window. It reads no arguments and no environment of its own.
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form_load.h"
#include "app/home_page_address.h"
#include "platform/system.h"
#include "version/version.h"

int main(int argc, char** argv) {
  // Qt is given the program's name alone, so that no argument reaches it.
  int qt_argc = argc > 0 ? 1 : 0;
  QApplication app(qt_argc, argv);
  tandrel::RaiseOpenFileLimit();
  QCoreApplication::setApplicationVersion(QStringLiteral(TANDREL_VERSION_FULL));

  std::shared_ptr<tandrel::FileSystem> fs = tandrel::MakeRealFileSystem();
  tandrel::QtDialogs dialogs;
  tandrel::Form1 form(fs, dialogs);
  dialogs.SetOwner(&form);
  tandrel::StartUp start_up;
  start_up.executable_folder =
      QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
  start_up.home_page = tandrel::kHomePageAddress;
  tandrel::FormLoad(form, *fs, start_up);
  form.show();
  const int code = QApplication::exec();
  if (form.CompareRunning()) {
    // A walk told to stop may still be inside a slow folder; the program
    // ends now instead of waiting for it.
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}
