#include "sync/run_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "platform/path_text.h"
#include "sync/kept_runs.h"

namespace tandrel {
namespace {

// The longest name every file system we write to keeps, in bytes of UTF-8
// (a Windows name of 255 characters may take more; such a name is shortened
// all the same).
constexpr size_t kLongestName = 255;
// What is kept of a name that is shortened.
constexpr size_t kShortenedTo = 120;

// The first `bytes` of `name`, not cutting a character in two.
std::string_view Prefix(std::string_view name, size_t bytes) {
  while (bytes > 0 && bytes < name.size() && (name[bytes] & 0xC0) == 0x80) --bytes;
  return name.substr(0, bytes);
}

}  // namespace

std::string KeptName(std::string_view name) {
  if (name.size() + 1 <= kLongestName) return "~" + std::string(name);
  // FNV-1a of the whole name tells apart names that begin alike.
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return "~" + std::string(Prefix(name, kShortenedTo)) + "~" + text;
}

std::string KeptFileText(std::string_view run_text, std::string_view path,
                         std::string_view kept_name) {
  return std::string(run_text) + kSeparator + std::string(kKeptFilesFolder) + kSeparator +
         WithSeparators(std::string(FolderPart(path, '/')) + std::string(kept_name));
}

std::error_code MakeRunFolderAt(FileSystem& fs, const Folder& top, std::string_view name,
                                const std::function<std::error_code(const Folder&)>& fill,
                                Folder* run) {
  Folder record;
  if (std::error_code ec = fs.MakeFolder(top, kRecordFolder, /*hidden=*/true, &record)) {
    return ec;
  }
  Folder replaced;
  if (std::error_code ec = fs.MakeFolder(record, kReplacedFolder, false, &replaced)) return ec;
  if (std::error_code ec = fs.MakeFolder(replaced, name, false, run)) return ec;
  if (fill) {
    if (std::error_code ec = fill(*run)) return ec;
  }
  const Folder* const flushed[] = {run, &replaced, &record, &top};
  for (const Folder* folder : flushed) {
    if (std::error_code ec = fs.FlushFolder(*folder)) return ec;
  }
  return {};
}

std::error_code MakeRunFolder(FileSystem& fs, const Folder& top, const RunHeading& heading,
                              std::string* name, std::shared_ptr<const Folder>* run,
                              OpenFile* journal) {
  const std::string folder_name = RunFolderName(heading);
  auto made = std::make_shared<Folder>();
  const auto begin = [&](const Folder& folder) {
    if (std::error_code ec = BeginJournal(fs, folder, heading, journal)) return ec;
    OpenFile* const file = journal;
    size_t failed = 0;
    return fs.FlushFiles({&file, 1}, &failed);
  };
  if (std::error_code ec = MakeRunFolderAt(fs, top, folder_name, begin, made.get())) return ec;
  *name = folder_name;
  *run = std::move(made);
  return {};
}

std::error_code OpenKeptFolder(FileSystem& fs, const Folder& run, std::string_view folder_path,
                               Folder* folder) {
  std::string relative(kKeptFilesFolder);
  if (!folder_path.empty()) relative += kSeparator + WithSeparators(folder_path);
  return fs.OpenBeneath(run, relative, folder);
}

std::string_view MountOf(const std::vector<std::string>& mounts, std::string_view folder_path) {
  std::string_view found;
  for (const std::string& mount : mounts) {
    const bool holds = folder_path == mount ||
                       (folder_path.starts_with(mount) && folder_path.size() > mount.size() &&
                        folder_path[mount.size()] == '/');
    if (holds && mount.size() > found.size()) found = mount;
  }
  return found;
}

std::string_view BelowMount(std::string_view mount, std::string_view path) {
  if (mount.empty()) return path;
  return path.size() > mount.size() ? path.substr(mount.size() + 1) : std::string_view();
}

std::error_code KeptPlace::OpenFolder(FileSystem& fs, std::string_view folder_path,
                                      Folder* folder) const {
  const std::string_view mount = MountOf(mounts, folder_path);
  if (mount.empty()) return OpenKeptFolder(fs, run, folder_path, folder);
  Folder at, record, replaced, mount_run;
  if (std::error_code ec = fs.OpenBeneath(top, WithSeparators(mount), &at)) return ec;
  if (std::error_code ec = OpenReplaced(fs, at, &record, &replaced)) return ec;
  if (std::error_code ec = fs.OpenFolder(replaced, run_name, &mount_run)) return ec;
  return OpenKeptFolder(fs, mount_run, BelowMount(mount, folder_path), folder);
}

std::string KeptPlace::Text(std::string_view path, std::string_view kept_name) const {
  const std::string_view mount = MountOf(mounts, ParentPath(path, '/'));
  const std::string mount_text =
      std::string(top_text) + (mount.empty() ? "" : WithSeparators(mount) + kSeparator);
  return KeptFileText(RunFolderText(mount_text, run_name), BelowMount(mount, path), kept_name);
}

KeptFiles::KeptFiles(FileSystem& fs, std::shared_ptr<const Folder> run)
    : fs_(fs), run_(std::move(run)) {}

std::error_code KeptFiles::KeptFolderOf(std::string_view path,
                                        std::shared_ptr<const Folder>* folder) {
  const std::string_view folder_path = ParentPath(path, '/');
  if (auto found = kept_folders_.find(folder_path); found != kept_folders_.end()) {
    *folder = found->second;
    return {};
  }
  auto at = std::make_shared<Folder>();
  if (std::error_code ec = fs_.MakeFolder(*run_, kKeptFilesFolder, false, at.get())) return ec;
  for (std::string_view rest = folder_path; !rest.empty();) {
    auto next = std::make_shared<Folder>();
    if (std::error_code ec = fs_.MakeFolder(*at, TakeFirstName(&rest, '/'), false, next.get())) {
      return ec;
    }
    at = std::move(next);
  }
  kept_folders_.emplace(std::string(folder_path), at);
  *folder = std::move(at);
  return {};
}

std::error_code KeptFiles::Keep(const Folder& folder, std::string_view path, std::string_view name,
                                std::string_view kept_name, bool* linked) {
  std::shared_ptr<const Folder> kept;
  {
    std::lock_guard lock(mutex_);
    if (std::error_code ec = KeptFolderOf(path, &kept)) return ec;
  }
  std::error_code ec;
  if (linked != nullptr) {
    ec = fs_.LinkBetween(folder, name, *kept, kept_name);
    *linked = !ec;
  }
  // Without a second name (a disk without hard links, a file with as many
  // as it may have), it is moved; across disks neither can be done.
  if (linked == nullptr || (ec && ec != std::errc::cross_device_link)) {
    ec = fs_.MoveBetween(folder, name, *kept, kept_name, false);
  }
  if (ec) return ec;
  std::lock_guard lock(mutex_);
  if (std::find(unflushed_.begin(), unflushed_.end(), kept) == unflushed_.end()) {
    unflushed_.push_back(std::move(kept));
  }
  return {};
}

std::error_code KeptFiles::Flush() {
  std::lock_guard lock(mutex_);
  while (!unflushed_.empty()) {
    if (std::error_code ec = fs_.FlushFolder(*unflushed_.back())) return ec;
    unflushed_.pop_back();
  }
  // Each handle is let go of once flushed: a run of many folders holds few.
  kept_folders_.clear();
  return {};
}

std::error_code KeptFiles::PutBack(const Folder& folder, std::string_view path,
                                   std::string_view name, std::string_view kept_name, bool linked) {
  std::shared_ptr<const Folder> kept;
  {
    std::lock_guard lock(mutex_);
    if (std::error_code ec = KeptFolderOf(path, &kept)) return ec;
  }
  if (linked) {
    FileInfo there, second;
    std::error_code ec = fs_.StatAt(*kept, kept_name, FollowLinks::kNo, &second);
    if (!ec) ec = fs_.StatAt(folder, name, FollowLinks::kNo, &there);
    if (!ec && there.stamp == second.stamp) {
      bool removed = false;
      ec = fs_.RemoveIfNotHeld(*kept, kept_name, &removed);
      if (!ec && !removed) ec = std::make_error_code(std::errc::device_or_resource_busy);
      return ec;
    }
    if (ec != std::errc::no_such_file_or_directory) {
      return ec ? ec : std::make_error_code(std::errc::file_exists);
    }
  }
  return fs_.MoveBetween(*kept, kept_name, folder, name, /*replace=*/false);
}

}  // namespace tandrel
