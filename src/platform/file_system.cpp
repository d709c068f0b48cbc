#include "platform/file_system.h"

namespace tandrel {

void FileSystem::WriteTimesIn(const std::string& folder, const std::vector<std::string_view>& names,
                              std::vector<std::optional<FileTime>>* times) {
  times->clear();
  FileInfo info;
  for (std::string_view name : names) {
    std::string path = folder;
    path.append(name);
    if (Stat(path, FollowLinks::kYes, &info)) {
      times->push_back(std::nullopt);
    } else {
      times->push_back(info.write_time);
    }
  }
}

}  // namespace tandrel
