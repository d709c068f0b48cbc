#include "compare/file_list.h"

#include "compare/last_modified.h"

namespace tandrel {

std::uint32_t FileList::AddFolder(std::string path) {
  folders_.push_back(std::move(path));
  return static_cast<std::uint32_t>(folders_.size() - 1);
}

void FileList::AddFile(std::uint32_t folder, std::string_view name,
                       std::optional<FileTime> time) {
  File f;
  f.folder = folder;
  f.name_offset = static_cast<std::uint32_t>(names_.size());
  f.name_size = static_cast<std::uint32_t>(name.size());
  // A real time that happens to equal a marker is moved by one tick, far
  // below the one-second resolution of every comparison.
  f.time = time ? (*time <= kNoTime ? kNoTime + 1 : *time) : kNotRead;
  names_.append(name);
  files_.push_back(f);
}

void FileList::AddPath(std::string_view path) {
  const size_t cut = path.rfind(kSeparator);
  const std::string_view folder = cut == std::string_view::npos ? std::string_view()
                                                                : path.substr(0, cut + 1);
  if (folders_.empty() || folders_.back() != folder) AddFolder(std::string(folder));
  AddFile(static_cast<std::uint32_t>(folders_.size() - 1), path.substr(folder.size()));
}

std::string FileList::Path(size_t i) const {
  std::string path = Folder(i);
  path.append(Name(i));
  return path;
}

std::optional<FileTime> FileList::WriteTime(size_t i, FileSystem& fs) const {
  const File& f = files_[i];
  if (f.time == kNotRead) {
    const std::optional<FileTime> time = GetLastWriteTime(fs, Path(i));
    f.time = time ? (*time <= kNoTime ? kNoTime + 1 : *time) : kNoTime;
  }
  if (f.time == kNoTime) return std::nullopt;
  return f.time;
}

}  // namespace tandrel
