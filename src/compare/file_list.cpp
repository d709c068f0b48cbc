#include "compare/file_list.h"

#include <algorithm>

#include "compare/last_modified.h"
#include "platform/path_text.h"

namespace tandrel {

FileTime FileList::Encode(std::optional<FileTime> time) {
  if (!time) return kNoTime;
  // A real time that happens to equal a marker is moved by one tick, far
  // below the one-second resolution of every comparison.
  return *time <= kNoTime ? kNoTime + 1 : *time;
}

std::uint32_t FileList::AddFolder(std::string path) {
  folders_.push_back(std::move(path));
  return static_cast<std::uint32_t>(folders_.size() - 1);
}

void FileList::AddFile(std::uint32_t folder, std::string_view name, std::optional<FileTime> time) {
  File f;
  f.folder = folder;
  f.name_offset = static_cast<std::uint32_t>(names_.size());
  f.name_size = static_cast<std::uint32_t>(name.size());
  f.time = time ? Encode(time) : kNotRead;
  names_.append(name);
  files_.push_back(f);
}

void FileList::AddPath(std::string_view path) {
  const std::string_view folder = FolderPart(path);
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
    f.time = Encode(time);
  }
  if (f.time == kNoTime) return std::nullopt;
  return f.time;
}

void FileList::ReadWriteTimes(FileSystem& fs, const tandrel::Folder& top, size_t top_length,
                              const std::function<bool(size_t)>& wanted, IoPool* pool) {
  IoPool inline_pool(1);
  IoPool& run_on = pool != nullptr ? *pool : inline_pool;
  // Enough tasks queued to keep every thread busy, and no more, so that the
  // names waiting to be read take little room.
  const int queued = std::max(1, run_on.threads() * 4);
  // A task reads the times of a few folders: on a warm disk each time costs
  // little, and a task per folder would cost more in hand-overs than it saves.
  constexpr size_t kNamesPerTask = 128;
  struct Group {
    std::string_view below;  // the folder, below `top`
    std::vector<std::string_view> names;
    std::vector<size_t> picked;  // the files the names belong to
  };
  std::vector<Group> groups;
  size_t grouped = 0;
  TaskCount tasks;
  const auto submit = [&] {
    if (groups.empty()) return;
    tasks.WaitBelow(queued);
    // Each task writes the times of its own files only.
    tasks.Submit(run_on, [this, &fs, &top, groups = std::move(groups)] {
      std::vector<std::optional<FileTime>> times;
      for (const Group& group : groups) {
        tandrel::Folder folder;
        if (fs.OpenBeneath(top, group.below, &folder)) {
          times.assign(group.names.size(), std::nullopt);
        } else {
          fs.WriteTimesIn(folder, group.names, &times);
        }
        for (size_t k = 0; k < group.picked.size(); ++k) {
          files_[group.picked[k]].time = Encode(times[k]);
        }
      }
    });
    groups.clear();
    grouped = 0;
  };
  // Files of one folder stand together in the list.
  for (size_t start = 0; start < files_.size();) {
    size_t end = start;
    Group group;
    for (; end < files_.size() && files_[end].folder == files_[start].folder; ++end) {
      if (files_[end].time == kNotRead && wanted(end)) {
        group.names.push_back(Name(end));
        group.picked.push_back(end);
      }
    }
    if (!group.names.empty()) {
      group.below = std::string_view(folders_[files_[start].folder]).substr(top_length);
      while (!group.below.empty() && group.below.front() == kSeparator) {
        group.below.remove_prefix(1);
      }
      grouped += group.names.size();
      groups.push_back(std::move(group));
      if (grouped >= kNamesPerTask) submit();
    }
    start = end;
  }
  submit();
  tasks.Wait();
}

}  // namespace tandrel
