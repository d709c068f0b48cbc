// The file system of Linux and other POSIX systems.
#pragma once

#include "platform/file_system.h"

namespace tandrel {

class PosixFileSystem final : public FileSystem {
 public:
  std::error_code ListFolder(const std::string& folder, std::vector<DirEntry>* entries) override;
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override;
  void WriteTimesIn(const std::string& folder, const std::vector<std::string_view>& names,
                    std::vector<std::optional<FileTime>>* times) override;
  std::error_code CopyContents(const std::string& from, const std::string& to) override;
  std::error_code SetWriteTime(const std::string& path, FileTime time) override;
  std::error_code Rename(const std::string& from, const std::string& to, bool replace) override;
  std::error_code Remove(const std::string& path) override;
};

}  // namespace tandrel
