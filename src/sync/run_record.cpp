#include "sync/run_record.h"

namespace tandrel {

RunRecord::RunRecord(FileSystem& fs, std::shared_ptr<const Folder> top, Storage storage,
                     std::string run_name)
    : fs_(fs), top_(std::move(top)), storage_(storage), run_name_(std::move(run_name)) {}

void RunRecord::NoteKeep(std::string_view path, const FileStamp& old) {
  pending_ += JournalLine({JournalEntry::kKeep, std::string(path), old});
  noted_ = true;
}

void RunRecord::NotePut(std::string_view path, const FileStamp& copy) {
  pending_ += JournalLine({JournalEntry::kPut, std::string(path), copy});
  noted_ = true;
}

void RunRecord::Remove() {
  if (!kept_) return;
  journal_.Reset();
  kept_.reset();
  RemoveRun(fs_, *top_, run_name_);
}

std::error_code RunRecord::RunFolder(std::shared_ptr<const Folder>* folder) {
  std::lock_guard lock(make_mutex_);
  if (!kept_) {
    std::shared_ptr<const Folder> run;
    if (std::error_code ec = MakeRunFolder(fs_, *top_, &run_name_, &run, &journal_)) return ec;
    kept_.emplace(fs_, std::move(run));
  }
  *folder = kept_->folder();
  return {};
}

std::error_code RunRecord::Flush() {
  if (pending_.empty()) return {};
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  if (std::error_code ec = fs_.AppendText(journal_, pending_)) return ec;
  pending_.clear();
  OpenFile* const file = &journal_;
  size_t failed = 0;
  return fs_.FlushFiles({&file, 1}, &failed);
}

std::error_code RunRecord::Keep(const Folder& folder, std::string_view path,
                                std::string_view name) {
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  return kept_->Keep(folder, path, name);
}

std::error_code RunRecord::FlushKept() { return kept_ ? kept_->Flush() : std::error_code(); }

std::error_code RunRecord::PutBack(const Folder& folder, std::string_view path,
                                   std::string_view name) {
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  return kept_->PutBack(folder, path, name);
}

}  // namespace tandrel
