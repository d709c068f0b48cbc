#include "sync/run_folder.h"

#include <algorithm>

#include "platform/path_text.h"
#include "sync/journal.h"
#include "sync/kept_runs.h"

namespace tandrel {
namespace {

// How many runs may start within one second and still each get a folder.
constexpr int kNameAttempts = 20;

}  // namespace

std::string KeptName(std::string_view name) { return "~" + std::string(name); }

std::error_code MakeRunFolder(FileSystem& fs, const Folder& top, std::string* name,
                              std::shared_ptr<const Folder>* run, OpenFile* journal) {
  Folder record;
  if (std::error_code ec = fs.MakeFolder(top, kRecordFolder, /*hidden=*/true, &record)) {
    return ec;
  }
  Folder replaced;
  if (std::error_code ec = fs.MakeFolder(record, kReplacedFolder, false, &replaced)) return ec;
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    const std::string numbered = NumberedRunName(*name, attempt);
    auto made = std::make_shared<Folder>();
    if (std::error_code ec = fs.MakeFolder(replaced, numbered, false, made.get())) return ec;
    const std::error_code ec = BeginJournal(fs, *made, journal);
    if (ec == std::errc::file_exists) continue;
    if (ec) return ec;
    const Folder* const flushed[] = {made.get(), &replaced, &record, &top};
    for (const Folder* folder : flushed) {
      if (std::error_code ec = fs.FlushFolder(*folder)) return ec;
    }
    *name = numbered;
    *run = std::move(made);
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
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
  std::shared_ptr<const Folder> at = run_;
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

std::error_code KeptFiles::Keep(const Folder& folder, std::string_view path,
                                std::string_view name) {
  std::shared_ptr<const Folder> kept;
  {
    std::lock_guard lock(mutex_);
    if (std::error_code ec = KeptFolderOf(path, &kept)) return ec;
  }
  if (std::error_code ec = fs_.MoveBetween(folder, name, *kept, KeptName(name), false)) return ec;
  std::lock_guard lock(mutex_);
  if (std::find(unflushed_.begin(), unflushed_.end(), kept) == unflushed_.end()) {
    unflushed_.push_back(std::move(kept));
  }
  return {};
}

std::error_code KeptFiles::Flush() {
  while (!unflushed_.empty()) {
    if (std::error_code ec = fs_.FlushFolder(*unflushed_.back())) return ec;
    unflushed_.pop_back();
  }
  return {};
}

std::error_code KeptFiles::PutBack(const Folder& folder, std::string_view path,
                                   std::string_view name) {
  std::shared_ptr<const Folder> kept;
  {
    std::lock_guard lock(mutex_);
    if (std::error_code ec = KeptFolderOf(path, &kept)) return ec;
  }
  return fs_.MoveBetween(*kept, KeptName(name), folder, name, /*replace=*/false);
}

}  // namespace tandrel
