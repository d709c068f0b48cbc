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
#include "platform/win32/restart_manager.h"
#include "platform/win32/wide.h"

// Exported by ntdll but not declared by the MinGW-w64 headers.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc_routine,
                                               PVOID apc_context, PIO_STATUS_BLOCK io_status,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN return_single_entry, PUNICODE_STRING mask,
                                               BOOLEAN restart_scan);

namespace tandrel {
namespace {

using win32::ApiPath;
using win32::FileHandle;
using win32::LastError;
using win32::Win32Error;

// NTSTATUS values this file tells apart.
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);

// A characteristic of FILE_FS_DEVICE_INFORMATION (from the driver kit's
// headers): the volume is reached over the network.
constexpr ULONG kFileRemoteDevice = 0x10;

// Information classes of NtSetInformationFile / NtQueryDirectoryFile that
// the MinGW-w64 enumeration lacks or names differently.
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr auto kFileDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);
constexpr auto kFileIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);

constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderOptions =
    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;
// Attributes a copy carries over. Read-only stays behind: Windows refuses to
// replace or remove a read-only file, and the sync must be able to do both
// with what it wrote.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t AsValue(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

std::error_code NtError(NTSTATUS status) { return Win32Error(::RtlNtStatusToDosError(status)); }

std::error_code LinkError() {
  return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

std::error_code BusyError() { return std::make_error_code(std::errc::device_or_resource_busy); }

// A sharing or lock violation, the system's way of saying that another
// program holds the file, as the one error the core waits on.
std::error_code HeldAsBusy(std::error_code ec) {
  return ec == std::errc::device_or_resource_busy ? BusyError() : ec;
}

// Wine 8 opens a Linux symbolic link as its target even when asked for the
// link itself, so a handle cannot tell that a link was crossed; only the
// parent's listing (which looks at the link) still shows it.
bool HandlesFollowLinks() {
  static const bool wine =
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

FileTime FromFiletime(const FILETIME& ft) {
  return static_cast<FileTime>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                               ft.dwLowDateTime);
}

// Seconds and nanoseconds since 1970, by floor division, so that a time
// before 1970 keeps a fraction in [0, 1 s).
void ToUnix(FileTime time, std::int64_t* seconds, std::uint32_t* nanoseconds) {
  const std::int64_t since_1970 = time - kUnixEpochInFileTimeSeconds * kFileTimeTicksPerSecond;
  std::int64_t whole = since_1970 / kFileTimeTicksPerSecond;
  std::int64_t ticks = since_1970 % kFileTimeTicksPerSecond;
  if (ticks < 0) {
    --whole;
    ticks += kFileTimeTicksPerSecond;
  }
  *seconds = whole;
  *nanoseconds = static_cast<std::uint32_t>(ticks * 100);
}

FILETIME ToFiletime(FileTime time) {
  const auto bits = static_cast<std::uint64_t>(time);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(bits & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(bits >> 32);
  return ft;
}

// A link is a reparse point that names another file (symbolic link,
// junction). A tag of 0 means the tag is not known, as in Wine's view of a
// Linux link, and is taken for a link too.
bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == 0 || IsReparseTagNameSurrogate(tag));
}

EntryKind KindOf(DWORD attributes, DWORD tag) {
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::kOther;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return EntryKind::kFile;
  return IsLink(attributes, tag) ? EntryKind::kFolderLink : EntryKind::kFolder;
}

// One component, as the contract has it. Both separators are refused since
// NT would read a backslash as a path and Wine a slash, and a colon since NT
// would open a stream of the file before it (no listed name has one).
std::error_code CheckName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("\\/:\0", 4)) != std::string_view::npos) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  return {};
}

// Opens `name` (one component, or empty for `root` itself) relative to the
// folder handle `root`. `attributes` are those of a file or folder it
// creates.
NTSTATUS OpenRelative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options, FileHandle* out,
                      ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(name.data());
  object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &object_name, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = ::NtCreateFile(&handle, access, &object, &io, nullptr, attributes, share,
                                         disposition, options, nullptr, 0);
  if (NT_SUCCESS(status)) out->reset(handle);
  return status;
}

// The wide form of a checked name; names longer than UNICODE_STRING holds
// are refused before any call.
std::error_code WideName(std::string_view name, std::wstring* wide) {
  if (std::error_code ec = CheckName(name)) return ec;
  *wide = win32::Utf8ToWide(name);
  if (wide->size() > 0x7FFF) return Win32Error(ERROR_FILENAME_EXCED_RANGE);
  return {};
}

std::uint64_t FileIndex(const BY_HANDLE_FILE_INFORMATION& data) {
  return (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
}

// Kind, time and stamp of an open file or folder.
std::error_code InfoOf(HANDLE handle, FileInfo* info, DWORD* attributes = nullptr) {
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(handle, &data)) return LastError();
  DWORD tag = 0;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag_info{};
    if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag_info, sizeof(tag_info))) {
      tag = tag_info.ReparseTag;
    }
  }
  info->kind = KindOf(data.dwFileAttributes, tag);
  info->is_link = IsLink(data.dwFileAttributes, tag);
  info->permissions = 0;
  info->write_time = FromFiletime(data.ftLastWriteTime);
  FileStamp& stamp = info->stamp;
  stamp.device = data.dwVolumeSerialNumber;
  stamp.file_id = FileIndex(data);
  stamp.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                         data.nFileSizeLow);
  ToUnix(info->write_time, &stamp.write_seconds, &stamp.write_nanoseconds);
  ToUnix(FromFiletime(data.ftLastAccessTime), &info->access_seconds, &info->access_nanoseconds);
  if (attributes != nullptr) *attributes = data.dwFileAttributes;
  return {};
}

// What the listing of `parent` says about `name`: attributes, reparse tag
// and file id. Read through a handle of its own, since the parent's handle
// may be listing on another thread and a search pattern sticks to the
// handle it was first given to.
struct ListedEntry {
  DWORD attributes = 0;
  DWORD tag = 0;
  std::uint64_t file_id = 0;
};

std::error_code LookUpListed(HANDLE parent, std::wstring_view name, ListedEntry* entry) {
  FileHandle lookup;
  NTSTATUS status = OpenRelative(parent, {}, FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll,
                                 FILE_OPEN, kFolderOptions, &lookup);
  if (!NT_SUCCESS(status)) return NtError(status);
  // One entry with a name of at most 32767 characters.
  auto buffer = std::make_unique<std::uint64_t[]>((sizeof(FILE_ID_BOTH_DIR_INFO) + 0x10000) / 8);
  const ULONG size = static_cast<ULONG>(sizeof(FILE_ID_BOTH_DIR_INFO) + 0x10000);
  UNICODE_STRING mask;
  mask.Buffer = const_cast<wchar_t*>(name.data());
  mask.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  IO_STATUS_BLOCK io{};
  status = ::NtQueryDirectoryFile(lookup.get(), nullptr, nullptr, nullptr, &io, buffer.get(), size,
                                  kFileIdBothDirectoryInformation, TRUE, &mask, TRUE);
  if (!NT_SUCCESS(status)) return NtError(status);
  const auto* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get());
  entry->attributes = found->FileAttributes;
  // For a reparse point the listing gives the tag in place of the EA size.
  entry->tag = (found->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? found->EaSize : 0;
  entry->file_id = static_cast<std::uint64_t>(found->FileId.QuadPart);
  return {};
}

// Refuses `opened`, the folder just opened as `name` of `parent`, when the
// parent lists a link there or another folder than the one opened (a link
// put in its place, or taken away, between the open and this look).
std::error_code CheckListedAsOpened(HANDLE parent, std::wstring_view name, HANDLE opened) {
  ListedEntry entry;
  if (std::error_code ec = LookUpListed(parent, name, &entry)) return ec;
  if (IsLink(entry.attributes, entry.tag)) return LinkError();
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(opened, &data)) return LastError();
  if (entry.file_id != 0 && entry.file_id != FileIndex(data)) return LinkError();
  return {};
}

bool IsRefusedClass(NTSTATUS status) {
  return status == kStatusNotImplemented || status == kStatusInvalidInfoClass ||
         status == kStatusNotSupported || status == kStatusInvalidParameter;
}

// Marks an open file for deletion. POSIX semantics take the name away at
// once; where they are not known, the name goes when the last handle closes.
std::error_code MarkForDeletion(HANDLE file) {
  IO_STATUS_BLOCK io{};
  ULONG flags = kDispositionDelete | kDispositionPosixSemantics;
  NTSTATUS status =
      ::NtSetInformationFile(file, &io, &flags, sizeof(flags), kFileDispositionInformationEx);
  if (IsRefusedClass(status)) {
    BOOLEAN delete_file = TRUE;
    status = ::NtSetInformationFile(file, &io, &delete_file, sizeof(delete_file),
                                    kFileDispositionInformation);
  }
  return NT_SUCCESS(status) ? std::error_code() : NtError(status);
}

// Windows refuses to replace or delete a read-only file. The bit is checked
// here as well because not every host enforces it (Wine running as root
// does not), and a read-only file is one its owner asked us to leave alone.
bool IsReadOnlyAt(HANDLE folder, std::wstring_view name) {
  FileHandle file;
  if (!NT_SUCCESS(OpenRelative(
          folder, name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
          FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
          &file))) {
    return false;
  }
  FILE_BASIC_INFO basic{};
  return ::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Opens the entry `name` of `folder` itself with `access` and `options`
// added: a link there is opened as the link, never followed.
std::error_code OpenEntry(HANDLE folder, std::string_view name, ACCESS_MASK access, ULONG options,
                          FileHandle* out) {
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  const NTSTATUS status =
      OpenRelative(folder, wide, access | SYNCHRONIZE, kShareAll, FILE_OPEN,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, out);
  if (!NT_SUCCESS(status)) return NtError(status);
  if (HandlesFollowLinks()) {
    // Wine opened what a link there points to; the listing still shows it.
    if (std::error_code ec = CheckListedAsOpened(folder, wide, out->get())) {
      out->reset();
      return ec;
    }
  }
  return {};
}

// How a file system that keeps no such attributes (a share whose server
// maps none, a driver without a system bit) refuses to set them.
bool IsRefusedAttributes(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_PARAMETER ||
         error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// Whether another program has the entry `name` of `folder` open without
// delete sharing: an open for deletion that shares everything meets a
// sharing violation then, while a real denial of access refuses it as such.
bool HeldWithoutDeleteSharing(HANDLE folder, std::wstring_view name) {
  FileHandle probe;
  return OpenRelative(folder, name, DELETE | SYNCHRONIZE, kShareAll, FILE_OPEN,
                      FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                      &probe) == kStatusSharingViolation;
}

// Renames the open `file` to `to_name` in the folder `to_folder`, its own or
// another on the same volume (else std::errc::cross_device_link), in one
// step. Without `replace` a taken `to_name` fails with std::errc::file_exists;
// with it, a read-only file there is not replaced (permission denied), and
// one that another program holds answers std::errc::device_or_resource_busy.
std::error_code RenameOpened(HANDLE file, HANDLE to_folder, std::wstring_view to_name,
                             bool replace) {
  if (replace && IsReadOnlyAt(to_folder, to_name)) return Win32Error(ERROR_ACCESS_DENIED);
  // FILE_RENAME_INFORMATION: a ULONG of flags (or a BOOLEAN in the older
  // form) padded to the root handle, the name's length in bytes, the name.
  struct RenameHeader {
    ULONG flags;
    HANDLE root_directory;
    ULONG file_name_length;
  };
  constexpr size_t kNameOffset = offsetof(RenameHeader, file_name_length) + sizeof(ULONG);
  const size_t name_bytes = to_name.size() * sizeof(wchar_t);
  auto buffer = std::make_unique<std::uint64_t[]>((kNameOffset + name_bytes + 8) / 8);
  auto* header = reinterpret_cast<RenameHeader*>(buffer.get());
  header->flags = kRenamePosixSemantics | (replace ? kRenameReplaceIfExists : 0);
  header->root_directory = to_folder;
  header->file_name_length = static_cast<ULONG>(name_bytes);
  std::memcpy(reinterpret_cast<char*>(buffer.get()) + kNameOffset, to_name.data(), name_bytes);
  // The structure's own size is the least the system takes, even when a
  // short name (one or two characters) ends before it.
  const ULONG size = static_cast<ULONG>(std::max(kNameOffset + name_bytes, sizeof(RenameHeader)));

  IO_STATUS_BLOCK io{};
  // POSIX semantics let the rename replace a file that another program has
  // open (with delete sharing); systems before Windows 10 1709 and Wine 8
  // refuse the Ex form, and get the older one.
  NTSTATUS status = ::NtSetInformationFile(file, &io, buffer.get(), size, kFileRenameInformationEx);
  if (IsRefusedClass(status)) {
    header->flags = 0;
    *reinterpret_cast<BOOLEAN*>(&header->flags) = replace ? TRUE : FALSE;
    status = ::NtSetInformationFile(file, &io, buffer.get(), size, kFileRenameInformation);
  }
  if (!NT_SUCCESS(status)) {
    // A file in the way that another program holds may be refused as access
    // denied, as a real denial is (Wine does so); an open for deletion tells
    // the two apart.
    if (replace && status == kStatusAccessDenied && HeldWithoutDeleteSharing(to_folder, to_name)) {
      return BusyError();
    }
    return HeldAsBusy(NtError(status));
  }
  return {};
}

// Writes all of `size` bytes at `offset` of the synchronous `file`.
std::error_code WriteAllAt(HANDLE file, const char* data, size_t size, std::uint64_t offset) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, DWORD{1} << 30));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, &at)) return LastError();
    if (written == 0) return Win32Error(ERROR_WRITE_FAULT);
    data += written;
    size -= written;
    offset += written;
  }
  return {};
}

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

std::error_code Win32FileSystem::CreateTemporary(const Folder& folder, std::string_view name,
                                                 OpenFile* file) {
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  FileHandle handle;
  // No delete sharing: while this handle is open, RemoveIfNotHeld elsewhere
  // meets a sharing violation and leaves the file alone.
  const NTSTATUS status = OpenRelative(
      AsHandle(ValueOf(folder)), wide,
      GENERIC_WRITE | DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ, FILE_CREATE,
      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, &handle);
  if (!NT_SUCCESS(status)) return NtError(status);
  *file = MakeHandle<OpenFileTag>(AsValue(handle.release()));
  return {};
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
      AsHandle(ValueOf(folder)), wide, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
      FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
      &file);
  // A temporary being written is open without delete sharing, and so is a
  // file another program holds: either is "held", which is no error here.
  if (status == kStatusSharingViolation) return {};
  if (!NT_SUCCESS(status)) return NtError(status);
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return LastError();
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return Win32Error(ERROR_ACCESS_DENIED);
  if (std::error_code ec = MarkForDeletion(file.get())) return HeldAsBusy(ec);
  file.reset();
  *removed = true;
  return {};
}

std::error_code Win32FileSystem::MakeFolder(const Folder& parent, std::string_view name,
                                            bool hidden, Folder* folder) {
  std::wstring wide;
  if (std::error_code ec = WideName(name, &wide)) return ec;
  FileHandle made;
  // The hidden bit goes with the creation, so that the folder is never seen
  // without it; a folder that is already there keeps what it has. A link at
  // `name` is opened as itself (OpenFolder then refuses it) and nothing is
  // made where it leads.
  const NTSTATUS status =
      OpenRelative(AsHandle(ValueOf(parent)), wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                   FILE_OPEN_IF, kFolderOptions | FILE_OPEN_REPARSE_POINT, &made,
                   hidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL);
  if (!NT_SUCCESS(status)) return NtError(status);
  made.reset();
  return OpenFolder(parent, name, folder);
}

std::error_code Win32FileSystem::MoveBetween(const Folder& from, std::string_view name,
                                             const Folder& to, std::string_view to_name,
                                             bool replace) {
  std::wstring wide_to;
  if (std::error_code ec = WideName(to_name, &wide_to)) return ec;
  FileHandle moved;
  if (std::error_code ec =
          OpenEntry(AsHandle(ValueOf(from)), name, DELETE | FILE_READ_ATTRIBUTES, 0, &moved)) {
    return HeldAsBusy(ec);
  }
  // A file is moved aside to be replaced, and a read-only one is not
  // replaced (see IsReadOnlyAt), although Windows would let it move.
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(moved.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return LastError();
  }
  if ((basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
      FILE_ATTRIBUTE_READONLY) {
    return Win32Error(ERROR_ACCESS_DENIED);
  }
  return RenameOpened(moved.get(), AsHandle(ValueOf(to)), wide_to, replace);
}

std::error_code Win32FileSystem::AppendText(OpenFile& file, std::string_view text) {
  const HANDLE handle = AsHandle(ValueOf(file));
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) return LastError();
  return WriteAllAt(handle, text.data(), text.size(), static_cast<std::uint64_t>(size.QuadPart));
}

std::error_code Win32FileSystem::ReadText(const Folder& folder, std::string_view name,
                                          std::string* text) {
  FileHandle file;
  if (std::error_code ec =
          OpenEntry(AsHandle(ValueOf(folder)), name, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                    FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, &file)) {
    return ec;
  }
  // Opened as itself, a link would read as empty.
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return LastError();
  }
  if (IsLink(tag.FileAttributes, tag.ReparseTag)) return LinkError();
  text->clear();
  char buffer[1 << 16];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return LastError();
    if (got == 0) return {};
    text->append(buffer, got);
  }
}

std::error_code Win32FileSystem::RemoveEmptyFolder(const Folder& folder, std::string_view name) {
  FileHandle removed;
  if (std::error_code ec = OpenEntry(AsHandle(ValueOf(folder)), name, DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_DIRECTORY_FILE, &removed)) {
    return HeldAsBusy(ec);
  }
  // A junction would go as itself, but it is no folder of ours to remove.
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(removed.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return LastError();
  }
  if (IsLink(tag.FileAttributes, tag.ReparseTag)) return LinkError();
  // The file system refuses to mark a folder that has entries. Without
  // POSIX semantics (Wine 8) the name goes only when the last handle to the
  // folder is closed, a Folder of the caller's included.
  return HeldAsBusy(MarkForDeletion(removed.get()));
}

// A whole path of something below a chosen folder, made here only because
// the Restart Manager takes nothing else. It only looks: nothing is opened
// or changed by that path.
std::string Win32FileSystem::ProgramHolding(const Folder& folder, std::string_view name) {
  std::wstring wide;
  if (WideName(name, &wide)) return {};
  const HANDLE handle = AsHandle(ValueOf(folder));
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
