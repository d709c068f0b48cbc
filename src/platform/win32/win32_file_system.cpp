#include "platform/win32/win32_file_system.h"

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "platform/win32/copy_bytes.h"
#include "platform/win32/handles.h"
#include "platform/win32/nt_files.h"
#include "platform/win32/restart_manager.h"
#include "platform/win32/wide.h"

namespace tandrel {
namespace {

using win32::ApiPath;
using win32::AsHandle;
using win32::AsValue;
using win32::CheckListedAsOpened;
using win32::FileHandle;
using win32::FileIndex;
using win32::FromFiletime;
using win32::HandlesFollowLinks;
using win32::HeldAsBusy;
using win32::InfoOf;
using win32::IsLink;
using win32::IsRefusedAttributes;
using win32::kCopiedAttributes;
using win32::kFileRemoteDevice;
using win32::kFolderAccess;
using win32::kFolderOptions;
using win32::KindOf;
using win32::kShareAll;
using win32::kStatusSharingViolation;
using win32::LastError;
using win32::LinkError;
using win32::ListedEntry;
using win32::LookUpListed;
using win32::MarkForDeletion;
using win32::NtError;
using win32::OpenEntry;
using win32::OpenRelative;
using win32::RenameOpened;
using win32::ToFiletime;
using win32::WideName;
using win32::Win32Error;
using win32::WriteAllAt;

}  // namespace

std::error_code Win32FileSystem::OpenRoot(const std::string& path, Folder* folder) {
  FileHandle handle(::CreateFileW(ApiPath(path).c_str(), kFolderAccess, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return LastError();
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(handle.get(), &data)) return LastError();
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Win32Error(ERROR_DIRECTORY);
  *folder = MakeHandle<FolderTag>(AsValue(handle.release()));
  return {};
}

std::error_code Win32FileSystem::Stat(const std::string& path, FollowLinks follow, FileInfo* info) {
  const std::wstring wide = ApiPath(path);
  const DWORD flags =
      FILE_FLAG_BACKUP_SEMANTICS | (follow == FollowLinks::kYes ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  FileHandle handle(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, flags, nullptr));
  if (!handle) return LastError();
  if (std::error_code ec = InfoOf(handle.get(), info)) return ec;
  if (follow == FollowLinks::kNo && !info->is_link && HandlesFollowLinks()) {
    // The attributes by path look at the link itself, also on Wine.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && IsLink(attributes, 0)) {
      info->is_link = true;
      info->kind = KindOf(attributes, 0);
    }
  }
  return {};
}

std::error_code Win32FileSystem::OpenFolder(const Folder& parent, std::string_view name,
                                            Folder* folder) {
  const HANDLE parent_handle = AsHandle(ValueOf(parent));
  FileHandle handle;
  if (name == ".") {
    // A handle of its own rather than a duplicate: a duplicate would share
    // the parent's place in a listing.
    const NTSTATUS status = OpenRelative(parent_handle, {}, kFolderAccess, kShareAll, FILE_OPEN,
                                         kFolderOptions, &handle);
    if (!NT_SUCCESS(status)) return NtError(status);
    *folder = MakeHandle<FolderTag>(AsValue(handle.release()));
    return {};
  }
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  NTSTATUS status = OpenRelative(parent_handle, wide, kFolderAccess, kShareAll, FILE_OPEN,
                                 kFolderOptions | FILE_OPEN_REPARSE_POINT, &handle);
  if (!NT_SUCCESS(status)) return NtError(status);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return LastError();
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (IsLink(tag.FileAttributes, tag.ReparseTag)) return LinkError();
    // A placeholder or the like: open what it stands for. The first handle
    // stays open until the second is known to be the same folder, so that a
    // link put in its place meanwhile is not followed.
    FileHandle through;
    status = OpenRelative(parent_handle, wide, kFolderAccess, kShareAll, FILE_OPEN, kFolderOptions,
                          &through);
    if (!NT_SUCCESS(status)) return NtError(status);
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    if (!::GetFileInformationByHandle(handle.get(), &first) ||
        !::GetFileInformationByHandle(through.get(), &second)) {
      return LastError();
    }
    if (FileIndex(first) != FileIndex(second) ||
        first.dwVolumeSerialNumber != second.dwVolumeSerialNumber) {
      return LinkError();
    }
    handle = std::move(through);
  }
  if (HandlesFollowLinks()) {
    if (std::error_code ec = CheckListedAsOpened(parent_handle, wide, handle.get())) return ec;
  }
  *folder = MakeHandle<FolderTag>(AsValue(handle.release()));
  return {};
}

std::error_code Win32FileSystem::List(const Folder& folder, std::vector<DirEntry>* entries) {
  entries->clear();
  const HANDLE handle = AsHandle(ValueOf(folder));
  constexpr DWORD kBufferSize = 64 * 1024;
  // Entries are 8-byte aligned within the buffer.
  auto buffer = std::make_unique<std::uint64_t[]>(kBufferSize / 8);
  FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(handle, request, buffer.get(), kBufferSize)) {
      const DWORD error = ::GetLastError();
      // A drive's root has no "." entry, so an empty root answers "no file"
      // to the first request.
      if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) return {};
      return Win32Error(error);
    }
    request = FileIdBothDirectoryInfo;
    const auto* bytes = reinterpret_cast<const std::byte*>(buffer.get());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        const DWORD attributes = info->FileAttributes;
        const DWORD tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info->EaSize : 0;
        DirEntry& entry = entries->emplace_back();
        entry.name = win32::WideToUtf8(name);
        entry.kind = KindOf(attributes, tag);
        entry.hidden = (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
        // The listing gives a link's own time; what counts is its target's,
        // which StatAt reads through the link.
        if (!IsLink(attributes, tag)) entry.write_time = info->LastWriteTime.QuadPart;
      }
      if (info->NextEntryOffset == 0) break;
      bytes += info->NextEntryOffset;
    }
  }
}

std::error_code Win32FileSystem::StatAt(const Folder& folder, std::string_view name,
                                        FollowLinks follow, FileInfo* info) {
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  const HANDLE folder_handle = AsHandle(ValueOf(folder));
  FileHandle handle;
  const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                        (follow == FollowLinks::kYes ? 0 : FILE_OPEN_REPARSE_POINT);
  const NTSTATUS status = OpenRelative(folder_handle, wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                       kShareAll, FILE_OPEN, options, &handle);
  if (!NT_SUCCESS(status)) return NtError(status);
  if (std::error_code ec = InfoOf(handle.get(), info)) return ec;
  if (follow == FollowLinks::kNo && info->kind == EntryKind::kFolder && HandlesFollowLinks()) {
    // A link to a folder is what the walk must not take for a folder.
    ListedEntry entry;
    if (!LookUpListed(folder_handle, wide, &entry) && IsLink(entry.attributes, entry.tag)) {
      info->is_link = true;
      info->kind = EntryKind::kFolderLink;
    }
  }
  return {};
}

// Opens the file `name` of `folder` to write, shared for reading only: while
// the handle is open, RemoveIfNotHeld and OpenToAppend elsewhere meet a
// sharing violation (busy) and leave the file alone.
std::error_code Win32FileSystem::OpenHeld(const Folder& folder, std::string_view name,
                                          unsigned long access, unsigned long disposition,
                                          OpenFile* file) {
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  FileHandle handle;
  const NTSTATUS status = OpenRelative(
      AsHandle(ValueOf(folder)), wide, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
      disposition, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
      &handle);
  if (!NT_SUCCESS(status)) return NtError(status);
  *file = MakeHandle<OpenFileTag>(AsValue(handle.release()));
  return {};
}

std::error_code Win32FileSystem::CreateTemporary(const Folder& folder, std::string_view name,
                                                 OpenFile* file) {
  return OpenHeld(folder, name, GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, FILE_CREATE, file);
}

// Every file's owner counts as the caller here (see FileInfo), so links are
// read through whatever `follow` says.
std::error_code Win32FileSystem::CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                                          FileInfo* copied, FollowLinks, const CopyWatch* watch) {
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  FileHandle source;
  // Shared for reading only, as CopyFileExW does: nobody writes the file
  // while its bytes are read.
  const NTSTATUS status = OpenRelative(
      AsHandle(ValueOf(from)), wide, GENERIC_READ | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_SEQUENTIAL_ONLY, &source);
  if (!NT_SUCCESS(status)) return NtError(status);
  DWORD attributes = 0;
  if (std::error_code ec = InfoOf(source.get(), copied, &attributes)) return ec;
  if (copied->kind != EntryKind::kFile) return Win32Error(ERROR_ACCESS_DENIED);

  const HANDLE target = AsHandle(ValueOf(to));
  DWORD returned = 0;
  // Block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE) exists only on ReFS and
  // needs cluster-aligned ranges; it is not tried.
  const bool sparse =
      (attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0 &&
      ::DeviceIoControl(target, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  if (std::error_code ec = win32::CopyBytes(source.get(), target, sparse, watch)) return ec;

  FILE_BASIC_INFO basic{};
  basic.LastWriteTime.QuadPart = copied->write_time;
  basic.LastAccessTime.QuadPart =
      FileTimeFromUnix(copied->access_seconds, copied->access_nanoseconds);
  // Zero leaves an attribute set as it is; NORMAL clears them all.
  basic.FileAttributes = (attributes & kCopiedAttributes) != 0 ? (attributes & kCopiedAttributes)
                                                               : FILE_ATTRIBUTE_NORMAL;
  if (::SetFileInformationByHandle(target, FileBasicInfo, &basic, sizeof(basic))) return {};
  // The attributes are a nicety the target's file system may refuse; the
  // times are not, so they are set once more on their own.
  if (!IsRefusedAttributes(::GetLastError())) return LastError();
  basic.FileAttributes = 0;
  if (!::SetFileInformationByHandle(target, FileBasicInfo, &basic, sizeof(basic))) {
    return LastError();
  }
  return {};
}

std::error_code Win32FileSystem::FlushFile(OpenFile& file) {
  if (!::FlushFileBuffers(AsHandle(ValueOf(file)))) return LastError();
  return {};
}

std::error_code Win32FileSystem::CloseTemporary(OpenFile& temp, bool keep_held) {
  if (keep_held || !temp) return {};
  // Closed here rather than by the owner, whose Close has no result.
  if (!::CloseHandle(AsHandle(Release(temp)))) return LastError();
  return {};
}

std::error_code Win32FileSystem::SetTimesAt(const Folder& folder, std::string_view name,
                                            const FileInfo& times) {
  FileHandle file;
  if (std::error_code ec =
          OpenEntry(AsHandle(ValueOf(folder)), name, FILE_WRITE_ATTRIBUTES, 0, &file)) {
    return ec;
  }
  // Zero leaves a field as it is, and -1 or -2 would change how the system
  // keeps the times from now on: a time is at least the first tick.
  FILE_BASIC_INFO basic{};
  basic.LastWriteTime.QuadPart = std::max<FileTime>(
      FileTimeFromUnix(times.stamp.write_seconds, times.stamp.write_nanoseconds), 1);
  basic.LastAccessTime.QuadPart =
      std::max<FileTime>(FileTimeFromUnix(times.access_seconds, times.access_nanoseconds), 1);
  if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return LastError();
  }
  return {};
}

std::error_code Win32FileSystem::Describe(const Folder& folder, Storage* storage) {
  // NTFS, and what is taken when the system does not tell: Windows finds
  // names case-blind whatever the volume could do.
  *storage = Storage{};
  storage->time_step_ns = 100;
  storage->ignores_case = true;
  const HANDLE handle = AsHandle(ValueOf(folder));
  wchar_t name[MAX_PATH + 1] = {};
  if (::GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, name,
                                      MAX_PATH + 1)) {
    const std::wstring_view file_system(name);
    if (file_system == L"FAT" || file_system == L"FAT12" || file_system == L"FAT16" ||
        file_system == L"FAT32") {
      *storage = FatStorage();
    } else if (file_system == L"exFAT") {
      *storage = ExfatStorage();
    }
  }
  // The calls beneath Windows's path rules would make a file named CON or
  // "report." that no ordinary program can then open or delete.
  storage->windows_names = true;
  FILE_FS_DEVICE_INFORMATION device{};
  IO_STATUS_BLOCK io{};
  if (NT_SUCCESS(::NtQueryVolumeInformationFile(handle, &io, &device, sizeof(device),
                                                FileFsDeviceInformation))) {
    storage->remote = (device.Characteristics & kFileRemoteDevice) != 0 ||
                      device.DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM;
  }
  return {};
}

std::error_code Win32FileSystem::RenameTemporary(const Folder& folder, std::string_view temp_name,
                                                 OpenFile& temp, std::string_view to,
                                                 bool replace) {
  std::wstring wide;
  if (std::error_code ec = WideName(to, &wide)) return ec;
  const HANDLE folder_handle = AsHandle(ValueOf(folder));
  // A temporary let go of is found again by its name, for the rename alone.
  FileHandle by_name;
  if (!temp) {
    if (std::error_code ec = OpenEntry(folder_handle, temp_name, DELETE | FILE_READ_ATTRIBUTES,
                                       FILE_NON_DIRECTORY_FILE, &by_name)) {
      return HeldAsBusy(ec);
    }
  }
  return RenameOpened(temp ? AsHandle(ValueOf(temp)) : by_name.get(), folder_handle, wide, replace);
}

std::error_code Win32FileSystem::RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                                 OpenFile& temp) {
  // Through the handle itself: whatever now has the name, only the file this
  // process wrote goes.
  if (temp) return HeldAsBusy(MarkForDeletion(AsHandle(ValueOf(temp))));
  // Let go of: by its name, which no one but this run uses (though a virus
  // scanner or the indexer may be reading it).
  FileHandle by_name;
  if (std::error_code ec =
          OpenEntry(AsHandle(ValueOf(folder)), temp_name, DELETE | FILE_READ_ATTRIBUTES,
                    FILE_NON_DIRECTORY_FILE, &by_name)) {
    return HeldAsBusy(ec);
  }
  return HeldAsBusy(MarkForDeletion(by_name.get()));
}

// Nothing is flushed. What flushing a folder guards against on POSIX, a
// rename reaching the disk before the data it names, cannot happen here:
// FlushFiles has put the data on disk before the rename, and NTFS writes a
// rename to its journal, which puts metadata back in order after a power
// cut. At worst the rename itself is undone and the old file stays, which
// the next comparison shows again. Flushing a folder's entries would need a
// handle with write access to the folder, which Windows grants only to
// administrators through the volume, and Wine refuses outright.
std::error_code Win32FileSystem::FlushFolder(const Folder& /*folder*/) { return {}; }

std::error_code Win32FileSystem::RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                                 bool* removed) {
  *removed = false;
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  FileHandle file;
  const NTSTATUS status = OpenRelative(
      AsHandle(ValueOf(folder)), wide,
      DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, &file);
  // A temporary being written is open without delete sharing, and so is a
  // file another program holds: either is "held", which is no error here.
  if (status == kStatusSharingViolation) return {};
  if (!NT_SUCCESS(status)) return NtError(status);
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return LastError();
  }
  // What is removed here is this program's own (a temporary, a kept file
  // whose time is up), read-only when the file it was kept for was: the
  // attribute goes first, as Windows deletes no read-only file, and comes
  // back if the file stays.
  const bool read_only = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  // Zero times leave the times as they are; NORMAL stands for no attribute.
  const auto set_attributes = [&](DWORD attributes) {
    FILE_BASIC_INFO info{};
    info.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(file.get(), FileBasicInfo, &info, sizeof(info)) != 0;
  };
  if (read_only && !set_attributes(basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY)) {
    return LastError();
  }
  if (std::error_code ec = MarkForDeletion(file.get())) {
    if (read_only) (void)set_attributes(basic.FileAttributes);
    return HeldAsBusy(ec);
  }
  file.reset();
  *removed = true;
  return {};
}

void Win32FileSystem::Close(std::intptr_t value) { ::CloseHandle(AsHandle(value)); }

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
