#include "platform/win32/win32_shell.h"

#include <objbase.h>
#include <shlobj.h>

#include <memory>

#include "platform/win32/handles.h"
#include "platform/win32/wide.h"

namespace tandrel {
namespace {

constexpr wchar_t kCaption[] = L"Tandrel";

struct TaskMemFree {
  void operator()(ITEMIDLIST* list) const { ::CoTaskMemFree(list); }
};
using IdList = std::unique_ptr<ITEMIDLIST, TaskMemFree>;

void AppendQuoted(const std::wstring& argument, std::wstring* line) {
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count only before a quote: double them there.
    line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

}  // namespace

ComApartment::ComApartment()
    : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComApartment::~ComApartment() {
  if (initialised_) ::CoUninitialize();
}

void Win32Shell::ShowMessage(const std::string& text) {
  if (script_message_) return script_message_(text);
  ::MessageBoxW(owner_, win32::Utf8ToWide(text).c_str(), kCaption, MB_OK);
}

void Win32Shell::SetWindowPointer(Pointer pointer) {
  pointer_ = pointer;
  if (owner_ == nullptr) return;
  POINT at;
  if (!::GetCursorPos(&at)) return;
  const HWND under = ::WindowFromPoint(at);
  if (under == owner_ || ::IsChild(owner_, under)) ::SetCursor(CursorFor(pointer));
}

HCURSOR Win32Shell::CursorFor(Pointer pointer) const {
  switch (pointer) {
    case Pointer::kBusy:
      return ::LoadCursorW(nullptr, IDC_WAIT);
    case Pointer::kHand:
      if (hand_ != nullptr) return hand_;
      break;
    case Pointer::kDefault:
      break;
  }
  return ::LoadCursorW(nullptr, IDC_ARROW);
}

std::string Win32Shell::BrowseForFolder(const std::string& title) {
  if (script_browse_) return script_browse_(title);
  const std::wstring wide_title = win32::Utf8ToWide(title);
  BROWSEINFOW info{};
  info.hwndOwner = owner_;
  info.lpszTitle = wide_title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  const IdList list(::SHBrowseForFolderW(&info));
  if (!list) return {};
  wchar_t path[MAX_PATH] = {};
  // Its own result is not looked at: an unwritten buffer reads as empty.
  ::SHGetPathFromIDListW(list.get(), path);
  return win32::WideToUtf8(std::wstring_view(path, wcsnlen(path, MAX_PATH)));
}

std::wstring BuildCommandLine(const std::string& program,
                              const std::vector<std::string>& arguments) {
  std::wstring line = win32::Utf8ToWide(program);
  for (const std::string& argument : arguments) {
    line += L' ';
    AppendQuoted(win32::Utf8ToWide(argument), &line);
  }
  return line;
}

void Win32Shell::StartDetached(const std::string& program,
                               const std::vector<std::string>& arguments, bool minimized) {
  std::wstring line = BuildCommandLine(program, arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (minimized) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINIMIZED;
  }
  PROCESS_INFORMATION process{};
  if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
    win32::FileHandle(process.hProcess);
    win32::FileHandle(process.hThread);
  }
}

std::string ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (got == 0) return {};
    if (got < path.size()) {
      path.resize(got);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return {};
  return win32::WideToUtf8(std::wstring_view(path).substr(0, cut));
}

}  // namespace tandrel
