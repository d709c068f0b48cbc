// hold_file PATH SECONDS
// hold_file PATH -
//
// Holds a file (or folder) the way an editor holds the document it has open:
// for reading and writing, sharing reading and writing but not deletion, so
// that while it is held nobody can rename, replace or remove it. Prints
// "held" on its standard output once it holds PATH, so that a test acts only
// then; holds it for SECONDS, or with "-" until its standard input ends; and
// exits 0. Exits 2 when PATH cannot be opened, 1 on a wrong command line.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void Say(HANDLE to, const std::string& text) {
  DWORD written = 0;
  ::WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Returns when the standard input ends (or cannot be read).
void WaitForEndOfInput() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD got = 0;
  while (::ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got != 0) {
  }
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (args == nullptr || count != 3) {
    Say(::GetStdHandle(STD_ERROR_HANDLE), "usage: hold_file PATH SECONDS|-\n");
    return 1;
  }
  // Backup semantics open a folder too; on a file they change nothing.
  const HANDLE held =
      ::CreateFileW(args[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    Say(::GetStdHandle(STD_ERROR_HANDLE),
        "hold_file: cannot open the file (error " + std::to_string(::GetLastError()) + ")\n");
    return 2;
  }
  Say(::GetStdHandle(STD_OUTPUT_HANDLE), "held\n");
  if (std::wcscmp(args[2], L"-") == 0) {
    WaitForEndOfInput();
  } else {
    ::Sleep(static_cast<DWORD>(std::wcstoul(args[2], nullptr, 10) * 1000));
  }
  ::CloseHandle(held);
  ::LocalFree(args);
  return 0;
}
