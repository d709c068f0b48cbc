// The Windows side of what a run's record does: folders made and removed,
// files moved aside and back, and the journal's text read and added to.
#include <windows.h>
#include <winternl.h>

#include "platform/win32/handles.h"
#include "platform/win32/nt_files.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"

namespace tandrel {
namespace {

using win32::AsHandle;
using win32::FileHandle;
using win32::HeldAsBusy;
using win32::IsLink;
using win32::kFolderOptions;
using win32::kShareAll;
using win32::LastError;
using win32::LinkError;
using win32::MarkForDeletion;
using win32::NtError;
using win32::OpenEntry;
using win32::OpenRelative;
using win32::RenameOpened;
using win32::WideName;
using win32::WriteAllAt;

}  // namespace

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
  // Windows moves a read-only file as any other (it only refuses to
  // replace or delete one), so a read-only file is kept, and put back, with
  // its attribute.
  return RenameOpened(moved.get(), AsHandle(ValueOf(to)), wide_to, replace);
}

std::error_code Win32FileSystem::AppendText(OpenFile& file, std::string_view text) {
  const HANDLE handle = AsHandle(ValueOf(file));
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) return LastError();
  return WriteAllAt(handle, text.data(), text.size(), static_cast<std::uint64_t>(size.QuadPart));
}

std::error_code Win32FileSystem::OpenToAppend(const Folder& folder, std::string_view name,
                                              OpenFile* file) {
  return OpenHeld(folder, name, FILE_APPEND_DATA, FILE_OPEN, file);
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

}  // namespace tandrel
