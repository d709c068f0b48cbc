// tandrel.exe: the native Windows window. It reads no arguments and no
// environment.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <memory>

#include "app/win32/form1.h"
#include "platform/system.h"
#include "platform/win32/win32_shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  tandrel::ComApartment com;
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_BAR_CLASSES;
  ::InitCommonControlsEx(&controls);

  std::shared_ptr<tandrel::FileSystem> fs = tandrel::MakeRealFileSystem();
  tandrel::Form1 form(fs, tandrel::ExecutableFolder(), TANDREL_HOME_PAGE);
  if (!form.Create(instance)) return 1;
  form.Show(show_command);

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (::IsDialogMessageW(form.hwnd(), &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
