// The file system of Windows, through the wide (UTF-16) API.
#pragma once

#include "platform/file_system.h"

namespace tandrel {

// Names are UTF-8 on this side and UTF-16 at the API; long paths get the
// "\\?\" prefix inside. Hidden means the hidden or the system attribute.
// A folder that is a reparse point (junction, folder symbolic link, mount
// point) lists as kFolderLink and is never walked.
class Win32FileSystem final : public FileSystem {
 public:
  std::error_code ListFolder(const std::string& folder, std::vector<DirEntry>* entries) override;
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override;
  // CopyFileExW: the new file also gets the source's last-write time and
  // attributes, except read-only, so that the caller can always remove or
  // rename over what it made (which Windows refuses for a read-only file).
  std::error_code CopyContents(const std::string& from, const std::string& to) override;
  std::error_code SetWriteTime(const std::string& path, FileTime time) override;
  // MoveFileExW, written through to the disk before it returns. A read-only
  // file at `to` is not replaced (permission denied).
  std::error_code Rename(const std::string& from, const std::string& to, bool replace) override;
  // DeleteFileW: a read-only file is not removed (permission denied).
  std::error_code Remove(const std::string& path) override;
};

}  // namespace tandrel
