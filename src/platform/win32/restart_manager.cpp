#include "platform/win32/restart_manager.h"

#include <windows.h>
// After windows.h, whose types it uses without including it.
#include <restartmanager.h>

#include <string_view>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/nt_files.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"

namespace tandrel::win32 {
namespace {

using Library = UniqueHandle<HMODULE, ::FreeLibrary>;

// The function `name` of `library`, or null. The cast goes through the
// generic function type, which converts to any other without a warning.
template <typename Function>
Function* Find(const Library& library, const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), name)));
}

// A Restart Manager session, ended on every way out.
class Session {
 public:
  explicit Session(decltype(&::RmEndSession) end) : end_(end) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (started_) end_(handle_);
  }
  bool Start(decltype(&::RmStartSession) start) {
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    started_ = start(&handle_, 0, key) == ERROR_SUCCESS;
    return started_;
  }
  DWORD handle() const { return handle_; }

 private:
  decltype(&::RmEndSession) end_;
  DWORD handle_ = 0;
  bool started_ = false;
};

// The file name of the executable that runs as `process`; empty when the
// process is gone, cannot be looked at, or is not the one the Restart
// Manager saw (its id taken since by another process).
std::string ImageName(const RM_UNIQUE_PROCESS& process) {
  FileHandle opened(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.dwProcessId));
  if (!opened) return {};
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(opened.get(), &created, &exited, &kernel, &user) ||
      ::CompareFileTime(&created, &process.ProcessStartTime) != 0) {
    return {};
  }
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!::QueryFullProcessImageNameW(opened.get(), 0, image.data(), &size)) return {};
  image.resize(size);
  return WideToUtf8(std::wstring_view(image).substr(image.find_last_of(L"\\/") + 1));
}

// `path` without the "\\?\" prefix where it is short enough to do without,
// the form the Restart Manager is documented with.
std::wstring Plain(std::wstring path) {
  std::wstring plain;
  if (path.starts_with(LR"(\\?\UNC\)")) {
    plain = LR"(\\)" + path.substr(8);
  } else if (path.starts_with(LR"(\\?\)")) {
    plain = path.substr(4);
  } else {
    return path;
  }
  return plain.size() < MAX_PATH ? plain : path;
}

}  // namespace

std::string ProgramHoldingPath(std::wstring path) {
  // Loaded only when a held file is met, not with every start of the
  // program, and from the system's folder alone.
  const Library library(::LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!library) return {};
  const auto start = Find<decltype(::RmStartSession)>(library, "RmStartSession");
  const auto end = Find<decltype(::RmEndSession)>(library, "RmEndSession");
  const auto register_resources =
      Find<decltype(::RmRegisterResources)>(library, "RmRegisterResources");
  const auto get_list = Find<decltype(::RmGetList)>(library, "RmGetList");
  if (start == nullptr || end == nullptr || register_resources == nullptr || get_list == nullptr) {
    return {};
  }
  Session session(end);
  if (!session.Start(start)) return {};
  path = Plain(std::move(path));
  LPCWSTR files[] = {path.c_str()};
  if (register_resources(session.handle(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) {
    return {};
  }
  // The list may grow between asking for its size and reading it.
  std::vector<RM_PROCESS_INFO> holders;
  DWORD result = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < 3 && result == ERROR_MORE_DATA; ++attempt) {
    UINT needed = 0;
    UINT count = static_cast<UINT>(holders.size());
    DWORD reasons = 0;
    result = get_list(session.handle(), &needed, &count, holders.data(), &reasons);
    holders.resize(result == ERROR_SUCCESS ? count : needed);
  }
  if (result != ERROR_SUCCESS) return {};
  const DWORD self = ::GetCurrentProcessId();
  for (const RM_PROCESS_INFO& holder : holders) {
    if (holder.Process.dwProcessId == self) continue;
    std::string name = ImageName(holder.Process);
    if (name.empty()) name = WideToUtf8(holder.strAppName);
    if (!name.empty()) return name;
  }
  return {};
}

}  // namespace tandrel::win32

namespace tandrel {

// Who holds a file is asked by its whole path: the folder handle's path and
// the name.
std::string Win32FileSystem::ProgramHolding(const Folder& folder, std::string_view name) {
  std::wstring wide;
  if (win32::WideName(name, &wide)) return {};
  const HANDLE handle = win32::AsHandle(ValueOf(folder));
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = ::GetFinalPathNameByHandleW(handle, nullptr, 0, kFlags);
  if (needed == 0) return {};
  std::wstring path(needed, L'\0');
  const DWORD got = ::GetFinalPathNameByHandleW(handle, path.data(), needed, kFlags);
  if (got == 0 || got >= needed) return {};
  path.resize(got);
  if (!path.ends_with(L'\\')) path += L'\\';
  return win32::ProgramHoldingPath(path + wide);
}

}  // namespace tandrel
