// The flat list of the files of one tree, kept compactly: a folder table and
// one small record per file, the names in one block of text.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/io_pool.h"

namespace tandrel {

class FileList {
 public:
  // Adds a folder (a path ending in a separator) and returns its number.
  std::uint32_t AddFolder(std::string path);
  // Appends a file of an added folder, with its time when already known.
  void AddFile(std::uint32_t folder, std::string_view name,
               std::optional<FileTime> time = std::nullopt);
  // Appends the file at a full path: the folder is the text up to and
  // including the last separator (a new folder entry when it differs from
  // the last one added).
  void AddPath(std::string_view path);

  size_t size() const { return files_.size(); }
  bool empty() const { return files_.empty(); }
  std::string_view Name(size_t i) const {
    const File& f = files_[i];
    return std::string_view(names_).substr(f.name_offset, f.name_size);
  }
  const std::string& Folder(size_t i) const { return folders_[files_[i].folder]; }
  // The full path: the folder, then the name.
  std::string Path(size_t i) const;
  // The file's last-write time: as read by ReadWriteTimes, or else read
  // from `fs` by its whole path on first use and kept.
  std::optional<FileTime> WriteTime(size_t i, FileSystem& fs) const;
  // Reads, folder by folder, the times not yet known of the files for which
  // `wanted(i)` holds, so that WriteTime finds them kept. Every folder of
  // the list lies below `top`, the open folder whose path is the first
  // `top_length` characters of theirs, and is reached from it.
  // The folders are read side by side on `pool`, when given.
  void ReadWriteTimes(FileSystem& fs, const tandrel::Folder& top, size_t top_length,
                      const std::function<bool(size_t)>& wanted, IoPool* pool = nullptr);

 private:
  static constexpr FileTime kNotRead = std::numeric_limits<FileTime>::min();
  static constexpr FileTime kNoTime = std::numeric_limits<FileTime>::min() + 1;
  struct File {
    std::uint32_t folder;
    std::uint32_t name_offset;
    std::uint32_t name_size;
    mutable FileTime time;
  };
  static FileTime Encode(std::optional<FileTime> time);
  std::vector<std::string> folders_;
  std::vector<File> files_;
  std::string names_;
};

}  // namespace tandrel
