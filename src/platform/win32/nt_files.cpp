#include "platform/win32/nt_files.h"

#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "platform/win32/wide.h"

namespace tandrel::win32 {

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

std::intptr_t AsValue(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

std::error_code NtError(NTSTATUS status) { return Win32Error(::RtlNtStatusToDosError(status)); }

std::error_code LinkError() {
  return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

std::error_code BusyError() { return std::make_error_code(std::errc::device_or_resource_busy); }

std::error_code HeldAsBusy(std::error_code ec) {
  return ec == std::errc::device_or_resource_busy ? BusyError() : ec;
}

bool HandlesFollowLinks() {
  static const bool wine =
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

FileTime FromFiletime(const FILETIME& ft) {
  return static_cast<FileTime>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                               ft.dwLowDateTime);
}

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

bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == 0 || IsReparseTagNameSurrogate(tag));
}

EntryKind KindOf(DWORD attributes, DWORD tag) {
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::kOther;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return EntryKind::kFile;
  return IsLink(attributes, tag) ? EntryKind::kFolderLink : EntryKind::kFolder;
}

std::error_code CheckName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("\\/:\0", 4)) != std::string_view::npos) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  return {};
}

NTSTATUS OpenRelative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options, FileHandle* out, ULONG attributes) {
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

std::error_code WideName(std::string_view name, std::wstring* wide) {
  if (std::error_code ec = CheckName(name)) return ec;
  *wide = win32::Utf8ToWide(name);
  if (wide->size() > 0x7FFF) return Win32Error(ERROR_FILENAME_EXCED_RANGE);
  return {};
}

std::uint64_t FileIndex(const BY_HANDLE_FILE_INFORMATION& data) {
  return (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
}

std::error_code InfoOf(HANDLE handle, FileInfo* info, DWORD* attributes) {
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

bool IsRefusedAttributes(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_PARAMETER ||
         error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

bool HeldWithoutDeleteSharing(HANDLE folder, std::wstring_view name) {
  FileHandle probe;
  return OpenRelative(folder, name, DELETE | SYNCHRONIZE, kShareAll, FILE_OPEN,
                      FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                      &probe) == kStatusSharingViolation;
}

std::error_code RenameOpened(HANDLE file, HANDLE to_folder, std::wstring_view to_name,
                             bool replace) {
  if (replace && IsReadOnlyAt(to_folder, to_name)) return Win32Error(ERROR_FILE_READ_ONLY);
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

}  // namespace tandrel::win32
