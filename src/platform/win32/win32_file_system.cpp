#include "platform/win32/win32_file_system.h"

#include <windows.h>

#include "platform/win32/handles.h"
#include "platform/win32/wide.h"

namespace tandrel {
namespace {

using win32::ApiPath;
using win32::FileHandle;
using win32::FindHandle;
using win32::LastError;

FileTime FromFiletime(const FILETIME& ft) {
  return static_cast<FileTime>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                               ft.dwLowDateTime);
}

FILETIME ToFiletime(FileTime time) {
  const auto bits = static_cast<std::uint64_t>(time);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(bits & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(bits >> 32);
  return ft;
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

EntryKind KindOf(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::kOther;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return EntryKind::kFile;
  return IsLink(attributes) ? EntryKind::kFolderLink : EntryKind::kFolder;
}

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

std::wstring FolderPattern(const std::string& folder) {
  if (folder.empty()) return L"*";
  const bool has_separator = (folder.back() == '\\' || folder.back() == '/');
  return ApiPath(folder, has_separator ? L"*" : L"\\*");
}

// Attributes and times of what a link points to, through a handle that the
// system opens on the final target.
std::error_code StatThroughLink(const std::wstring& path, FileInfo* info) {
  FileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(file.get(), &data)) return LastError();
  info->kind = KindOf(data.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT);
  info->write_time = FromFiletime(data.ftLastWriteTime);
  return {};
}

// Windows refuses to replace or delete a read-only file. The bit is checked
// here as well because not every host enforces it (Wine running as root
// does not), and a read-only file is one its owner asked us to leave alone.
bool IsReadOnly(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

std::error_code Win32FileSystem::ListFolder(const std::string& folder,
                                            std::vector<DirEntry>* entries) {
  entries->clear();
  const std::wstring pattern = FolderPattern(folder);
  WIN32_FIND_DATAW data;
  FindHandle find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) {
    const DWORD error = ::GetLastError();
    // A drive's root has no "." entry, so an empty root matches nothing.
    if (error == ERROR_FILE_NOT_FOUND) {
      const DWORD attributes = ::GetFileAttributesW(pattern.substr(0, pattern.size() - 1).c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
      }
    }
    return win32::Win32Error(error);
  }
  do {
    if (IsDotOrDotDot(data.cFileName)) continue;
    DirEntry& entry = entries->emplace_back();
    entry.name = win32::WideToUtf8(data.cFileName);
    entry.kind = KindOf(data.dwFileAttributes);
    entry.hidden = (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
    // The find data of a link to a file carries the link's own time; the
    // time that counts is its target's, which Stat reads through the link.
    if (!IsLink(data.dwFileAttributes)) entry.write_time = FromFiletime(data.ftLastWriteTime);
  } while (::FindNextFileW(find.get(), &data));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES) return win32::Win32Error(error);
  return {};
}

std::error_code Win32FileSystem::Stat(const std::string& path, FollowLinks follow, FileInfo* info) {
  const std::wstring wide = ApiPath(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return LastError();
  info->permissions = 0;
  info->is_link = IsLink(data.dwFileAttributes);
  if (info->is_link && follow == FollowLinks::kYes) {
    info->is_link = false;
    return StatThroughLink(wide, info);
  }
  info->kind = KindOf(data.dwFileAttributes);
  info->write_time = FromFiletime(data.ftLastWriteTime);
  return {};
}

std::error_code Win32FileSystem::CopyContents(const std::string& from, const std::string& to) {
  const std::wstring target = ApiPath(to);
  if (!::CopyFileExW(ApiPath(from).c_str(), target.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS)) {
    return LastError();
  }
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      !::SetFileAttributesW(target.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    return LastError();
  }
  return {};
}

std::error_code Win32FileSystem::SetWriteTime(const std::string& path, FileTime time) {
  if (time < 0) return std::make_error_code(std::errc::invalid_argument);
  FileHandle file(
      ::CreateFileW(ApiPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return LastError();
  const FILETIME ft = ToFiletime(time);
  if (!::SetFileTime(file.get(), nullptr, nullptr, &ft)) return LastError();
  return {};
}

std::error_code Win32FileSystem::Rename(const std::string& from, const std::string& to,
                                        bool replace) {
  const std::wstring target = ApiPath(to);
  DWORD flags = MOVEFILE_WRITE_THROUGH;
  if (replace) {
    if (IsReadOnly(target)) return win32::Win32Error(ERROR_ACCESS_DENIED);
    flags |= MOVEFILE_REPLACE_EXISTING;
  }
  if (!::MoveFileExW(ApiPath(from).c_str(), target.c_str(), flags)) return LastError();
  return {};
}

std::error_code Win32FileSystem::Remove(const std::string& path) {
  const std::wstring wide = ApiPath(path);
  if (IsReadOnly(wide)) return win32::Win32Error(ERROR_ACCESS_DENIED);
  if (!::DeleteFileW(wide.c_str())) return LastError();
  return {};
}

std::optional<FileTime> FileTimeToLocalFileTime(FileTime utc) {
  if (utc < 0) return std::nullopt;
  const FILETIME in = ToFiletime(utc);
  FILETIME local;
  if (!::FileTimeToLocalFileTime(&in, &local)) return std::nullopt;
  const FileTime result = FromFiletime(local);
  if (result < 0) return std::nullopt;
  return result;
}

}  // namespace tandrel
