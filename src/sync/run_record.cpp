#include "sync/run_record.h"

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
                                std::string_view kept_name) {
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  return kept_->Keep(folder, path, name, kept_name);
}

std::error_code RunRecord::FlushKept() { return kept_ ? kept_->Flush() : std::error_code(); }

std::error_code RunRecord::PutBack(const Folder& folder, std::string_view path,
                                   std::string_view name, std::string_view kept_name) {
  std::shared_ptr<const Folder> run;
  if (std::error_code ec = RunFolder(&run)) return ec;
  return kept_->PutBack(folder, path, name, kept_name);
}

}  // namespace tandrel
