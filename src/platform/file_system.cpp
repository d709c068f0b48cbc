#include "platform/file_system.h"

#include <limits>

#include "platform/path_text.h"

namespace tandrel {

FileTime FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  constexpr FileTime kMax = std::numeric_limits<FileTime>::max();
  constexpr FileTime kMin = std::numeric_limits<FileTime>::min();
  // The whole seconds that fit, leaving room for the fraction.
  constexpr std::int64_t kHighest =
      kMax / kFileTimeTicksPerSecond - kUnixEpochInFileTimeSeconds - 1;
  constexpr std::int64_t kLowest = kMin / kFileTimeTicksPerSecond - kUnixEpochInFileTimeSeconds + 1;
  if (seconds > kHighest) return kMax;
  if (seconds < kLowest) return kMin;
  return (seconds + kUnixEpochInFileTimeSeconds) * kFileTimeTicksPerSecond + nanoseconds / 100;
}

std::error_code FileSystem::OpenBeneath(const Folder& root, std::string_view relative,
                                        Folder* folder) {
  relative = TrimTrailingSeparators(relative);
  Folder current;
  const Folder* at = &root;
  while (!relative.empty()) {
    const std::string_view name = TakeFirstName(&relative);
    if (name.empty() || name == "." || name == "..") {
      return std::make_error_code(std::errc::invalid_argument);
    }
    Folder next;
    if (std::error_code ec = OpenFolder(*at, name, &next)) return ec;
    current = std::move(next);
    at = &current;
  }
  if (at == &root) return OpenFolder(root, ".", folder);
  *folder = std::move(current);
  return {};
}

void FileSystem::WriteTimesIn(const Folder& folder, const std::vector<std::string_view>& names,
                              std::vector<std::optional<FileTime>>* times) {
  times->clear();
  FileInfo info;
  for (std::string_view name : names) {
    if (StatAt(folder, name, FollowLinks::kYes, &info)) {
      times->push_back(std::nullopt);
    } else {
      times->push_back(info.write_time);
    }
  }
}

std::error_code FileSystem::FlushFiles(std::span<OpenFile* const> files, size_t* failed) {
  for (size_t i = 0; i < files.size(); ++i) {
    if (std::error_code ec = FlushFile(*files[i])) {
      *failed = i;
      return ec;
    }
  }
  return {};
}

Storage FatStorage() {
  Storage fat;
  fat.time_step_ns = 2'000'000'000;
  fat.local_time = true;
  fat.ignores_case = true;
  fat.keeps_file_ids = false;
  fat.windows_names = true;
  fat.short_names = true;
  return fat;
}

Storage ExfatStorage() {
  Storage exfat;
  exfat.time_step_ns = 10'000'000;
  exfat.ignores_case = true;
  exfat.keeps_file_ids = false;
  exfat.windows_names = true;
  return exfat;
}

std::error_code FileSystem::ReadLink(const Folder&, std::string_view, std::string*) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::string FileSystem::ProgramHolding(const Folder&, std::string_view) { return {}; }

std::error_code FileSystem::MakeFolder(const Folder&, std::string_view, bool, Folder*) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::MoveBetween(const Folder&, std::string_view, const Folder&,
                                        std::string_view, bool) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::LinkBetween(const Folder&, std::string_view, const Folder&,
                                        std::string_view) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::AppendText(OpenFile&, std::string_view) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::OpenToAppend(const Folder&, std::string_view, OpenFile*) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::ReadText(const Folder&, std::string_view, std::string*) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::RemoveEmptyFolder(const Folder&, std::string_view) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code FileSystem::Describe(const Folder&, Storage* storage) {
  *storage = Storage{};
  return {};
}

std::error_code FileSystem::ListFolder(const std::string& path, std::vector<DirEntry>* entries) {
  entries->clear();
  Folder folder;
  if (std::error_code ec = OpenRoot(path, &folder)) return ec;
  return List(folder, entries);
}

}  // namespace tandrel
