// Start-up of the main window, before it is first shown.
#pragma once

#include <functional>
#include <string>

#include "app/form1.h"
#include "platform/file_system.h"

namespace tandrel {

struct StartUp {
  // The folder of the running executable, without a trailing separator.
  std::string executable_folder;
  // The home page's address; empty when there is none.
  std::string home_page;
  // The draw of the home-page lottery, 0 <= r < 1.
  std::function<double()> draw;
};

// In order: the hand pointer's image from HAND-M.CUR beside the executable,
// or else in ../share/tandrel from its folder (when the file is there and
// reads as a cursor), the caption, the centred
// position, the home-page lottery, and the lists' columns.
void FormLoad(Form1& form, FileSystem& fs, const StartUp& start_up);

}  // namespace tandrel
