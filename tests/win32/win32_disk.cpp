#include "win32_disk.h"

#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/wide.h"

namespace tandrel::testing {

using win32::ApiPath;
using win32::FileHandle;

bool AddAttributes(const std::string& path, DWORD attributes) {
  const std::wstring wide = ApiPath(path);
  const DWORD now = ::GetFileAttributesW(wide.c_str());
  return now != INVALID_FILE_ATTRIBUTES && ::SetFileAttributesW(wide.c_str(), now | attributes);
}

void ClearReadOnly(const std::string& path) {
  const std::wstring wide = ApiPath(path);
  const DWORD now = ::GetFileAttributesW(wide.c_str());
  if (now != INVALID_FILE_ATTRIBUTES) {
    ::SetFileAttributesW(wide.c_str(), now & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
}

bool MakeJunction(const std::string& link, const std::string& target) {
  if (!MakeFolder(link)) return false;
  FileHandle folder(::CreateFileW(ApiPath(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  if (!folder) return false;
  std::wstring print = win32::Utf8ToWide(target);
  while (print.size() > 3 && print.back() == L'\\') print.pop_back();
  const std::wstring substitute = L"\\??\\" + print;
  // The mount-point layout of REPARSE_DATA_BUFFER: a header of eight bytes,
  // four offsets and lengths, then both names, each ending in a NUL.
  const size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
  std::vector<std::byte> buffer(8 + 8 + names);
  auto put16 = [&](size_t at, size_t value) {
    const WORD v = static_cast<WORD>(value);
    std::memcpy(buffer.data() + at, &v, sizeof(v));
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof(tag));
  put16(4, 8 + names);
  put16(8, 0);
  put16(10, substitute.size() * sizeof(wchar_t));
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));
  put16(14, print.size() * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
              (print.size() + 1) * sizeof(wchar_t));
  DWORD returned = 0;
  return ::DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                           static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
}

bool MakeFolderLink(const std::string& link, const std::string& target) {
  if (MakeJunction(link, target)) return true;
  ::RemoveDirectoryW(ApiPath(link).c_str());
  ::CreateSymbolicLinkW(
      ApiPath(link).c_str(), ApiPath(target).c_str(),
      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  // Some systems answer success without making anything.
  const DWORD attributes = ::GetFileAttributesW(ApiPath(link).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string UnixPathOf(const std::string& path) {
  using UnixFileName = char*(CDECL*)(const WCHAR*);
  const auto unix_file_name = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_file_name == nullptr) return {};
  char* name = unix_file_name(ApiPath(path).c_str());
  if (name == nullptr) return {};
  std::string result(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return result;
}

namespace {

// Runs a Linux program under Wine and waits until `done` holds: Wine's
// handle of a Linux process is signalled at once and tells no exit code.
bool RunOnHost(const std::wstring& program, std::wstring command, bool (*done)(const std::string&),
               const std::string& path) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return false;
  }
  FileHandle process_handle(process.hProcess);
  FileHandle thread_handle(process.hThread);
  for (int i = 0; i < 1000 && !done(path); ++i) ::Sleep(10);
  return done(path);
}

bool IsReparsePoint(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(ApiPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsGone(const std::string& path) {
  return ::GetFileAttributesW(ApiPath(path).c_str()) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool StartHostShell(const std::string& script) {
  if (UnixPathOf("C:\\").empty()) return false;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // Wine splits the command line the Windows way: one argument in double
  // quotes, with the quotes inside it escaped.
  std::string quoted;
  for (char c : script) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  std::wstring command = win32::Utf8ToWide("sh -c \"" + quoted + "\"");
  if (!::CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hProcess);
  ::CloseHandle(process.hThread);
  return true;
}

bool MakeHostFolderLink(const std::string& link, const std::string& target) {
  const std::string unix_link = UnixPathOf(link);
  const std::string unix_target = UnixPathOf(target);
  if (unix_link.empty() || unix_target.empty()) return MakeFolderLink(link, target);
  return RunOnHost(L"Z:\\bin\\ln",
                   win32::Utf8ToWide("ln -s -- \"" + unix_target + "\" \"" + unix_link + "\""),
                   IsReparsePoint, link);
}

void RemoveHostFolderLink(const std::string& link) {
  const std::string unix_link = UnixPathOf(link);
  if (unix_link.empty()) {
    ::RemoveDirectoryW(ApiPath(link).c_str());
    return;
  }
  RunOnHost(L"Z:\\bin\\rm", win32::Utf8ToWide("rm -f -- \"" + unix_link + "\""), IsGone, link);
}

bool MakeFolder(const std::string& path) {
  return ::CreateDirectoryW(ApiPath(path).c_str(), nullptr) ||
         ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteFile(const std::string& path, const std::string& contents) {
  FileHandle file(::CreateFileW(ApiPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                     nullptr) &&
         written == contents.size();
}

std::string ReadFile(const std::string& path) {
  FileHandle file(::CreateFileW(ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!file) return "<missing>";
  std::string contents;
  char block[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), block, sizeof(block), &got, nullptr) && got > 0) {
    contents.append(block, got);
  }
  return contents;
}

void RemoveTree(const std::string& path) {
  std::string folder = path;
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  WIN32_FIND_DATAW data;
  {
    win32::FindHandle find(::FindFirstFileW(ApiPath(folder, L"*").c_str(), &data));
    if (find) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::string child = folder + win32::WideToUtf8(name);
        ClearReadOnly(child);
        const bool is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (is_folder && !is_link) {
          RemoveTree(child);
        } else if (is_folder) {
          ::RemoveDirectoryW(ApiPath(child).c_str());
        } else {
          ::DeleteFileW(ApiPath(child).c_str());
        }
      } while (::FindNextFileW(find.get(), &data));
    }
  }
  ClearReadOnly(path);
  ::RemoveDirectoryW(ApiPath(path).c_str());
}

long OpenHandleCount() {
  DWORD count = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
  // Wine answers 0 above; its system-wide handle table counts them.
  struct Entry {
    void* object;
    ULONG_PTR process;
    ULONG_PTR handle;
    ULONG access;
    USHORT back_trace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<std::byte> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  while ((status = query(kSystemExtendedHandleInformation, buffer.data(),
                         static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  long mine = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].process == ::GetCurrentProcessId()) ++mine;
  }
  return mine;
}

}  // namespace tandrel::testing
