// The NT calls below Win32FileSystem: opening relative to a folder handle,
// what a handle and a listing say of a file, renaming and deleting through
// handles, and how their failures read as errors. Only for win32_*.cpp.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string_view>
#include <system_error>

#include "platform/file_system.h"
#include "platform/win32/handles.h"

// Exported by ntdll but not declared by the MinGW-w64 headers.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc_routine,
                                               PVOID apc_context, PIO_STATUS_BLOCK io_status,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN return_single_entry, PUNICODE_STRING mask,
                                               BOOLEAN restart_scan);

namespace tandrel::win32 {

// NTSTATUS values this file tells apart.
inline constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);

inline constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);

inline constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);

inline constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

inline constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);

inline constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);

// A characteristic of FILE_FS_DEVICE_INFORMATION (from the driver kit's
// headers): the volume is reached over the network.
inline constexpr ULONG kFileRemoteDevice = 0x10;

// Information classes of NtSetInformationFile / NtQueryDirectoryFile that
// the MinGW-w64 enumeration lacks or names differently.
inline constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

inline constexpr auto kFileDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);

inline constexpr auto kFileIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);

inline constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);

inline constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);

inline constexpr ULONG kRenameReplaceIfExists = 0x1;

inline constexpr ULONG kRenamePosixSemantics = 0x2;

inline constexpr ULONG kDispositionDelete = 0x1;

inline constexpr ULONG kDispositionPosixSemantics = 0x2;

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

inline constexpr ULONG kFolderOptions =
    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;

// Attributes a copy carries over. Read-only stays behind: Windows refuses to
// replace or remove a read-only file, and the sync must be able to do both
// with what it wrote.
inline constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                           FILE_ATTRIBUTE_ARCHIVE |
                                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What the listing of `parent` says about `name`: attributes, reparse tag
// and file id. Read through a handle of its own, since the parent's handle
// may be listing on another thread and a search pattern sticks to the
// handle it was first given to.
struct ListedEntry {
  DWORD attributes = 0;
  DWORD tag = 0;
  std::uint64_t file_id = 0;
};

HANDLE AsHandle(std::intptr_t value);

std::intptr_t AsValue(HANDLE handle);

std::error_code NtError(NTSTATUS status);

std::error_code LinkError();

std::error_code BusyError();

// A sharing or lock violation, the system's way of saying that another
// program holds the file, as the one error the core waits on.
std::error_code HeldAsBusy(std::error_code ec);

// Wine 8 opens a Linux symbolic link as its target even when asked for the
// link itself, so a handle cannot tell that a link was crossed; only the
// parent's listing (which looks at the link) still shows it.
bool HandlesFollowLinks();

FileTime FromFiletime(const FILETIME& ft);

// Seconds and nanoseconds since 1970, by floor division, so that a time
// before 1970 keeps a fraction in [0, 1 s).
void ToUnix(FileTime time, std::int64_t* seconds, std::uint32_t* nanoseconds);

FILETIME ToFiletime(FileTime time);

// A link is a reparse point that names another file (symbolic link,
// junction). A tag of 0 means the tag is not known, as in Wine's view of a
// Linux link, and is taken for a link too.
bool IsLink(DWORD attributes, DWORD tag);

EntryKind KindOf(DWORD attributes, DWORD tag);

// One component, as the contract has it. Both separators are refused since
// NT would read a backslash as a path and Wine a slash, and a colon since NT
// would open a stream of the file before it (no listed name has one).
std::error_code CheckName(std::string_view name);

// Opens `name` (one component, or empty for `root` itself) relative to the
// folder handle `root`. `attributes` are those of a file or folder it
// creates.
NTSTATUS OpenRelative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options, FileHandle* out,
                      ULONG attributes = FILE_ATTRIBUTE_NORMAL);

// The wide form of a checked name; names longer than UNICODE_STRING holds
// are refused before any call.
std::error_code WideName(std::string_view name, std::wstring* wide);

std::uint64_t FileIndex(const BY_HANDLE_FILE_INFORMATION& data);

// Kind, time and stamp of an open file or folder.
std::error_code InfoOf(HANDLE handle, FileInfo* info, DWORD* attributes = nullptr);

std::error_code LookUpListed(HANDLE parent, std::wstring_view name, ListedEntry* entry);

// Refuses `opened`, the folder just opened as `name` of `parent`, when the
// parent lists a link there or another folder than the one opened (a link
// put in its place, or taken away, between the open and this look).
std::error_code CheckListedAsOpened(HANDLE parent, std::wstring_view name, HANDLE opened);

bool IsRefusedClass(NTSTATUS status);

// Marks an open file for deletion. POSIX semantics take the name away at
// once; where they are not known, the name goes when the last handle closes.
std::error_code MarkForDeletion(HANDLE file);

// Windows refuses to replace or delete a read-only file (it moves one
// freely: that is how one is kept and then replaced). The bit is checked
// here as well because not every host enforces it (Wine running as root
// does not), so that a replace without keeping fails alike everywhere.
bool IsReadOnlyAt(HANDLE folder, std::wstring_view name);

// Opens the entry `name` of `folder` itself with `access` and `options`
// added: a link there is opened as the link, never followed.
std::error_code OpenEntry(HANDLE folder, std::string_view name, ACCESS_MASK access, ULONG options,
                          FileHandle* out);

// How a file system that keeps no such attributes (a share whose server
// maps none, a driver without a system bit) refuses to set them.
bool IsRefusedAttributes(DWORD error);

// Whether another program has the entry `name` of `folder` open without
// delete sharing: an open for deletion that shares everything meets a
// sharing violation then, while a real denial of access refuses it as such.
bool HeldWithoutDeleteSharing(HANDLE folder, std::wstring_view name);

// Renames the open `file` to `to_name` in the folder `to_folder`, its own or
// another on the same volume (else std::errc::cross_device_link), in one
// step. Without `replace` a taken `to_name` fails with std::errc::file_exists;
// with it, a read-only file there is not replaced (permission denied), and
// one that another program holds answers std::errc::device_or_resource_busy.
std::error_code RenameOpened(HANDLE file, HANDLE to_folder, std::wstring_view to_name,
                             bool replace);

// Writes all of `size` bytes at `offset` of the synchronous `file`.
std::error_code WriteAllAt(HANDLE file, const char* data, size_t size, std::uint64_t offset);

}  // namespace tandrel::win32
