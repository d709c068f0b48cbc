#include "app/form_load.h"

#include <QFile>

#include "app/form_helpers.h"
#include "app/form_text.h"
#include "app/hand_cursor.h"
#include "app/home_page.h"
#include "compare/last_modified.h"
#include "platform/separator.h"

namespace tandrel {

void FormLoad(Form1& form, FileSystem& fs, const StartUp& start_up) {
  // Beside the executable in a build folder or a Windows-style install; in
  // ../share/tandrel when installed under a prefix such as /usr.
  std::string hand_path = start_up.executable_folder + kSeparator + kHandCursorFile;
  if (!FileExists(fs, hand_path)) {
    hand_path = start_up.executable_folder + kSeparator + ".." + kSeparator + "share" + kSeparator +
                "tandrel" + kSeparator + kHandCursorFile;
  }
  if (FileExists(fs, hand_path)) {
    QFile file(QFile::decodeName(hand_path.c_str()));
    // A file that cannot be read as a cursor leaves the hand as the arrow.
    if (file.open(QIODevice::ReadOnly)) form.pointer().SetHandImage(CursorFromFile(file.readAll()));
  }
  form.setWindowTitle(QString::fromUtf8(kFormCaption));
  CenterForm(form);
  MaybeOpenHomePage(form.shell(), start_up.home_page,
                    start_up.draw ? start_up.draw : DrawSeededFromTimeOfDay);
  form.CreateColumns();
}

}  // namespace tandrel
