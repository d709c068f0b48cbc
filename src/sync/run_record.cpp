#include "sync/run_record.h"

#include <algorithm>
#include <charconv>

#include "platform/path_text.h"

namespace tandrel {

RunRecord::RunRecord(FileSystem& fs, std::shared_ptr<const Folder> top, RunHeading heading)
    : fs_(fs), top_(std::move(top)), heading_(std::move(heading)) {}

void RunRecord::NoteKeep(std::string_view path, std::string_view kept_name, const FileStamp& old) {
  pending_ += JournalLine({JournalEntry::kKeep, std::string(path), std::string(kept_name), old});
}

void RunRecord::NoteUnkept(std::string_view path, const FileStamp& old) {
  pending_ += JournalLine({JournalEntry::kUnkept, std::string(path), {}, old});
}

void RunRecord::NotePut(std::string_view path, std::string_view temporary, const FileStamp& copy) {
  pending_ += JournalLine({JournalEntry::kPut, std::string(path), std::string(temporary), copy});
}

void RunRecord::NoteOutcome(std::string_view path, bool done) {
  done_any_ = done_any_ || done;
  pending_ +=
      JournalLine({done ? JournalEntry::kDone : JournalEntry::kNot, std::string(path), {}, {}});
}

void RunRecord::NoteFolder(std::string_view path) {
  std::shared_ptr<const Folder> run;
  if (RunFolder(&run)) return;
  std::lock_guard write(write_mutex_);
  if (failed_) return;
  std::string line =
      JournalLine({JournalEntry::kFolder, path.empty() ? "." : std::string(path), {}, {}});
  if (torn_) line.insert(0, "\n");
  torn_ = bool(fs_.AppendText(journal_, line));
}

void RunRecord::Remove() {
  if (!kept_) return;
  journal_.Reset();
  kept_.reset();
  {
    std::lock_guard lock(mount_mutex_);
    mount_files_.clear();
    mounts_file_.Reset();
  }
  RemoveRun(fs_, *top_, name_);
}

std::error_code RunRecord::RunFolder(std::shared_ptr<const Folder>* folder) {
  std::lock_guard lock(make_mutex_);
  if (!kept_) {
    std::shared_ptr<const Folder> run;
    if (std::error_code ec = MakeRunFolder(fs_, *top_, heading_, &name_, &run, &journal_)) {
      return ec;
    }
    kept_.emplace(fs_, std::move(run));
  }
  *folder = kept_->folder();
  return {};
}

std::error_code RunRecord::Flush() {
  if (failed_) return failed_;
  if (pending_.empty()) return {};
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  OpenFile* const file = &journal_;
  size_t unflushed = 0;
  // A line a failed write may have cut short is ended before the next: the
  // journal's reader passes over a line that does not read whole.
  if (torn_) pending_.insert(0, "\n");
  std::unique_lock write(write_mutex_);
  std::error_code ec = fs_.AppendText(journal_, pending_);
  write.unlock();
  pending_.clear();
  torn_ = bool(ec);
  if (!ec) ec = fs_.FlushFiles({&file, 1}, &unflushed);
  // What a failed flush should have kept may be lost whatever a later one
  // says: the journal is not trusted again.
  if (ec && !torn_) failed_ = ec;
  return ec;
}

std::error_code RunRecord::Close() {
  if (std::error_code ec = Flush()) return ec;
  // Nothing was done: there is nothing to undo.
  if (!done_any_ && !unsettled_) {
    Remove();
    return {};
  }
  if (!kept_ || unsettled_) return {};
  pending_ = kEndLine;
  const std::error_code ec = Flush();
  if (ec) return ec;
  journal_.Reset();
  MarkEnded(fs_, *kept_->folder());
  return {};
}

std::error_code RunRecord::Keep(const Folder& folder, std::string_view path, std::string_view name,
                                std::string_view kept_name, bool* linked) {
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  std::string mount;
  if (KeptFiles* files = MountFilesOf(ParentPath(path, '/'), &mount)) {
    return files->Keep(folder, BelowMount(mount, path), name, kept_name, linked);
  }
  const std::error_code ec = kept_->Keep(folder, path, name, kept_name, linked);
  if (ec != std::errc::cross_device_link) return ec;
  return KeepOnMount(folder, path, name, kept_name, linked);
}

KeptFiles* RunRecord::MountFilesOf(std::string_view folder_path, std::string* mount) {
  std::lock_guard lock(mount_mutex_);
  const auto found = mount_of_folder_.find(folder_path);
  if (found == mount_of_folder_.end()) return nullptr;
  *mount = found->second;
  return mount_files_.at(found->second).get();
}

std::error_code RunRecord::KeepOnMount(const Folder& folder, std::string_view path,
                                       std::string_view name, std::string_view kept_name,
                                       bool* linked) {
  const std::string_view folder_path = ParentPath(path, '/');
  // Where a later reader looks (the longest listed mount that holds the
  // folder) first; then, each listed before it is tried, the top of the
  // folder's disk where that is further down, then the folder itself (a
  // second mount of one disk shows no other device, and a rename across
  // the two fails all the same).
  std::string listed;
  {
    std::lock_guard lock(mount_mutex_);
    listed = MountOf(mounts_, folder_path);
  }
  const std::string top = MountTop(folder_path);
  std::vector<std::string> tries;
  if (!listed.empty()) tries.push_back(listed);  // "" is the tree's top: tried already
  if (top.size() > listed.size()) tries.push_back(top);
  if (folder_path.size() > std::max(listed.size(), top.size())) tries.emplace_back(folder_path);
  for (const std::string& mount : tries) {
    std::lock_guard lock(mount_mutex_);
    KeptFiles* files = nullptr;
    if (MountFiles(mount, &files)) break;
    const std::error_code ec =
        files->Keep(folder, BelowMount(mount, path), name, kept_name, linked);
    if (ec != std::errc::cross_device_link) {
      if (!ec) mount_of_folder_.emplace(folder_path, mount);
      return ec;
    }
  }
  return std::make_error_code(std::errc::cross_device_link);
}

std::string RunRecord::MountTop(std::string_view folder_path) {
  // The device of each folder on the way, the top's first.
  std::uint64_t top_device = 0;
  const std::string_view id = heading_.tree_id;
  (void)std::from_chars(id.data(), id.data() + id.find(':'), top_device);
  std::vector<std::uint64_t> devices;
  std::vector<std::string_view> names;
  Folder at;
  const Folder* parent = top_.get();
  for (std::string_view rest = folder_path; !rest.empty();) {
    names.push_back(TakeFirstName(&rest, '/'));
    FileInfo info;
    Folder next;
    if (fs_.StatAt(*parent, names.back(), FollowLinks::kNo, &info) ||
        fs_.OpenFolder(*parent, names.back(), &next)) {
      return std::string(folder_path);
    }
    devices.push_back(info.stamp.device);
    at = std::move(next);
    parent = &at;
  }
  if (names.empty()) return {};
  size_t first = devices.size() - 1;
  while (first > 0 && devices[first - 1] == devices.back()) --first;
  if (first == 0 && devices.back() == top_device) return std::string(folder_path);
  // The names are views into `folder_path`: the mount is its part up to
  // the end of the first name on the disk.
  return std::string(
      folder_path.substr(0, names[first].data() + names[first].size() - folder_path.data()));
}

std::error_code RunRecord::MountFiles(const std::string& mount, KeptFiles** files) {
  if (const auto found = mount_files_.find(mount); found != mount_files_.end()) {
    *files = found->second.get();
    return {};
  }
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  // Listed, and the list on disk, before anything is moved there.
  if (std::find(mounts_.begin(), mounts_.end(), mount) == mounts_.end()) {
    const bool first = mounts_.empty();
    if (first) {
      if (std::error_code ec = fs_.CreateTemporary(*run, kMountsName, &mounts_file_)) return ec;
    }
    OpenFile* const file = &mounts_file_;
    size_t failed = 0;
    if (std::error_code ec =
            fs_.AppendText(mounts_file_, JournalLine({JournalEntry::kMount, mount, {}, {}}))) {
      return ec;
    }
    if (std::error_code ec = fs_.FlushFiles({&file, 1}, &failed)) return ec;
    if (first) {
      if (std::error_code ec = fs_.FlushFolder(*run)) return ec;
    }
    mounts_.push_back(mount);
  }
  Folder at;
  auto made = std::make_shared<Folder>();
  if (std::error_code ec = fs_.OpenBeneath(*top_, WithSeparators(mount), &at)) return ec;
  if (std::error_code ec = MakeRunFolderAt(fs_, at, name_, {}, made.get())) return ec;
  auto& kept = mount_files_[mount];
  kept = std::make_unique<KeptFiles>(fs_, std::move(made));
  *files = kept.get();
  return {};
}

std::error_code RunRecord::FlushKept() {
  if (!kept_) return {};
  if (std::error_code ec = kept_->Flush()) return ec;
  std::lock_guard lock(mount_mutex_);
  for (auto& [mount, files] : mount_files_) {
    if (std::error_code ec = files->Flush()) return ec;
  }
  return {};
}

std::error_code RunRecord::PutBack(const Folder& folder, std::string_view path,
                                   std::string_view name, std::string_view kept_name, bool linked) {
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  std::string mount;
  if (KeptFiles* files = MountFilesOf(ParentPath(path, '/'), &mount)) {
    return files->PutBack(folder, BelowMount(mount, path), name, kept_name, linked);
  }
  return kept_->PutBack(folder, path, name, kept_name, linked);
}

}  // namespace tandrel
