// The file system of Windows: chosen folders opened by path, everything below
// them through NT calls relative to an opened folder handle.
#pragma once

#include "platform/file_system.h"

namespace tandrel {

// Names are UTF-8 on this side and UTF-16 at the API. A whole path (OpenRoot,
// Stat) gets the "\\?\" prefix when long; below a chosen folder every open
// names one component relative to its folder's handle, so no path is built
// and none is too long. Hidden means the hidden or the system attribute.
//
// A symbolic link or junction (a "name surrogate" reparse point) is never
// entered; other reparse points (cloud placeholders, deduplicated files) are
// read through, since they are the file itself in another form.
class Win32FileSystem final : public FileSystem {
 public:
  std::error_code OpenRoot(const std::string& path, Folder* folder) override;
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override;
  std::error_code OpenFolder(const Folder& parent, std::string_view name, Folder* folder) override;
  std::error_code List(const Folder& folder, std::vector<DirEntry>* entries) override;
  std::error_code StatAt(const Folder& folder, std::string_view name, FollowLinks follow,
                         FileInfo* info) override;
  // Held means opened without delete sharing: RemoveIfNotHeld of another
  // process then meets a sharing violation.
  std::error_code CreateTemporary(const Folder& folder, std::string_view name,
                                  OpenFile* file) override;
  // Copies bytes (leaving the zero blocks of a sparse source unwritten), the
  // hidden, system and archive attributes but never read-only (so that the
  // caller can always rename or remove what it made; where the target's file
  // system refuses attributes they are left out), and the last-write and
  // last-access times.
  std::error_code CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                           FileInfo* copied, FollowLinks follow = FollowLinks::kYes,
                           const CopyWatch* watch = nullptr) override;
  // Without `keep_held` the handle is closed, and the rename or removal opens
  // the file again by its name.
  std::error_code CloseTemporary(OpenFile& temp, bool keep_held) override;
  std::error_code SetTimesAt(const Folder& folder, std::string_view name,
                             const FileInfo& times) override;
  // Names are always found case-blind; the time step follows the volume's
  // file system (FAT, exFAT, else NTFS's 100 ns). Never fails: what the
  // system does not tell is taken to be as on NTFS.
  std::error_code Describe(const Folder& folder, Storage* storage) override;
  // A read-only file at `to` is not replaced (permission denied).
  std::error_code RenameTemporary(const Folder& folder, std::string_view temp_name, OpenFile& temp,
                                  std::string_view to, bool replace) override;
  std::error_code RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                  OpenFile& temp) override;
  // Nothing to do on Windows; see the definition.
  std::error_code FlushFolder(const Folder& folder) override;
  // A read-only file is not removed (permission denied).
  std::error_code RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                  bool* removed) override;
  // Asks the Restart Manager. Wine's is a stub that names no process, so
  // under Wine this is always empty.
  std::string ProgramHolding(const Folder& folder, std::string_view name) override;

  // The hidden attribute is set only on a folder this call made.
  std::error_code MakeFolder(const Folder& parent, std::string_view name, bool hidden,
                             Folder* folder) override;
  // Folders move too. A read-only file is neither moved nor replaced at
  // `to_name` (permission denied).
  std::error_code MoveBetween(const Folder& from, std::string_view name, const Folder& to,
                              std::string_view to_name, bool replace) override;
  std::error_code AppendText(OpenFile& file, std::string_view text) override;
  std::error_code OpenToAppend(const Folder& folder, std::string_view name,
                               OpenFile* file) override;
  // A link at `name` is refused, not read through.
  std::error_code ReadText(const Folder& folder, std::string_view name, std::string* text) override;
  // A junction or link at `name` is refused, not removed.
  std::error_code RemoveEmptyFolder(const Folder& folder, std::string_view name) override;

 protected:
  void Close(std::intptr_t value) override;
  std::error_code FlushFile(OpenFile& file) override;

 private:
  // `access` and `disposition` as NtCreateFile takes them.
  std::error_code OpenHeld(const Folder& folder, std::string_view name, unsigned long access,
                           unsigned long disposition, OpenFile* file);
};

}  // namespace tandrel
