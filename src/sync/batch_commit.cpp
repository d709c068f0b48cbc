#include "sync/batch_commit.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "sync/prepare_copy.h"
#include "sync/reason.h"
#include "sync/run_folder.h"

namespace tandrel {

void BatchCommit::Run() {
  StopAfterFailures();
  JournalIntents();
  FlushCopies();
  KeepReplaced();
  PutAllInPlace();
  asides_.Wait();
  for (size_t i = 0; i < batch_.size(); ++i) s_.placing.PutBack(*batch_[i]);
  s_.placing.CheckNamesKept(batch_, end_);
  StopAfterFailures();
  MendTimes();
  FlushKept();
  FlushFolders();
  JournalOutcomes();
}

void BatchCommit::StopAfter(size_t i) {
  if (!s_.keep_going) end_ = std::min(end_, i + 1);
}

void BatchCommit::StopAfterFailures() {
  for (size_t i = 0; i < end_; ++i) {
    if (batch_[i]->failure) StopAfter(i);
  }
}

// Writes what the renames of the batch are about to do into each tree's
// journal, and flushes it, before any of them is made. A full disk gets
// room from the oldest kept runs first; where none can be made the batch
// goes on there without keeping, and says so. Where the journal cannot be
// written for another reason, nothing of the batch is put in place there.
void BatchCommit::JournalIntents() {
  std::vector<RunRecord*> touched;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (job.failure) continue;
    if (std::optional<std::string> refusal = s_.keeping.Refusal(job.target)) {
      job.failure = std::move(refusal);
      StopAfter(i);
      continue;
    }
    RunRecord* record = s_.keeping.RecordOf(job.target);
    job.keep = job.overwrite && job.seen.has_value() && !job.target_is_ours;
    if (record == nullptr) {
      if (job.keep && s_.keeping.keeps()) job.not_kept = s_.keeping.WhyNotKept(job.target);
      job.keep = false;
      continue;
    }
    job.record_path = ComparedTrees::PathBelow(*s_.trees.TreeOf(job.target), job.target);
    job.journalled = true;
    if (std::find(touched.begin(), touched.end(), record) == touched.end()) {
      touched.push_back(record);
    }
  }
  for (RunRecord* record : touched) {
    std::string_view in_tree;
    std::error_code ec;
    do {
      for (size_t i = 0; i < end_; ++i) {
        Job& job = *batch_[i];
        if (!job.journalled || s_.keeping.RecordOf(job.target) != record) continue;
        in_tree = job.target;
        if (job.keep) record->NoteKeep(job.record_path, KeptName(job.target_name), *job.seen);
        record->NotePut(job.record_path, job.copy.name, job.put_stamp);
      }
      ec = record->Flush();
    } while (IsOutOfSpace(ec) && s_.keeping.MakeRoom(in_tree, s_.report));
    if (!ec) continue;
    for (size_t i = 0; i < end_; ++i) {
      Job& job = *batch_[i];
      if (!job.journalled || s_.keeping.RecordOf(job.target) != record) continue;
      job.journalled = false;
      if (IsOutOfSpace(ec)) {
        if (job.keep) job.not_kept = "there was no room on its disk to keep it";
        job.keep = false;
        continue;
      }
      job.failure =
          "The record of this sync could not be written, so the copy was not put in "
          "place: " +
          Sentence(ec);
      StopAfter(i);
    }
    if (!IsOutOfSpace(ec)) s_.keeping.Drop(in_tree, ec);
  }
}

// Copies still open are flushed together; those on storage that a flush of
// the whole file system does not reach were flushed already.
void BatchCommit::FlushCopies() {
  std::vector<OpenFile*> files;
  std::vector<size_t> owners;
  for (size_t i = 0; i < end_; ++i) {
    if (batch_[i]->failure || batch_[i]->closed()) continue;
    files.push_back(&batch_[i]->copy.file);
    owners.push_back(i);
  }
  size_t unflushed = 0;
  if (std::error_code ec = s_.fs.FlushFiles(files, &unflushed)) {
    // What came after the failed file may not be on disk either.
    for (size_t k = unflushed; k < owners.size(); ++k) {
      Job& job = *batch_[owners[k]];
      job.failure = Sentence(ec);
      job.out_of_space = IsOutOfSpace(ec);
    }
    StopAfter(owners[unflushed]);
  }
}

// On a share each move is a round trip, and those into one folder are made
// one at a time: what the batch's overwrites replace there is kept side by
// side on the pool while the rows whose targets are kept already are put
// in place. On a local disk each is kept in row order, as it is put in
// place.
void BatchCommit::KeepReplaced() {
  aside_pending_.assign(end_, false);
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (!job.keep || !job.storage.remote || job.failure) continue;
    aside_pending_[i] = true;
    asides_.Submit(s_.pool, [this, i, &job] {
      std::optional<std::string> failure = s_.placing.MoveAside(job);
      std::lock_guard lock(aside_mutex_);
      job.failure = std::move(failure);
      aside_pending_[i] = false;
      aside_done_.notify_all();
    });
  }
}

void BatchCommit::WaitForAside(size_t i) {
  std::unique_lock lock(aside_mutex_);
  aside_done_.wait(lock, [&] { return !aside_pending_[i]; });
}

void BatchCommit::PutAllInPlace() {
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    WaitForAside(i);
    if (job.failure) {
      StopAfter(i);
      continue;
    }
    // Stopped: nothing more is put in place; what is, is finished.
    if (s_.stop.stop_requested()) {
      stopped_ = true;
      end_ = i;
      return;
    }
    if (std::optional<std::string> failure = s_.placing.Put(job)) {
      job.failure = std::move(failure);
      StopAfter(i);
    }
  }
}

// Times a driver changed on the rename are set again side by side (those
// of targets a later row replaces were mended as they were placed).
void BatchCommit::MendTimes() {
  TaskCount mending;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (job.placed() && job.storage.remote && !s_.placing.Repeated(job)) {
      mending.Submit(s_.pool, [this, &job] { s_.placing.MendTimes(job); });
    }
  }
  mending.Wait();
}

// The folders that files were moved aside into are flushed before the
// folders renamed into: a row is done only when both are.
void BatchCommit::FlushKept() {
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (!job.kept()) continue;
    if (std::error_code ec = s_.keeping.RecordOf(job.target)->FlushKept()) {
      job.failure =
          "The file it replaced could not be flushed where it is kept, so the row may not "
          "survive a power cut: " +
          Sentence(ec);
      StopAfter(i);
    }
  }
}

void BatchCommit::FlushFolders() {
  std::vector<std::string_view> flushed;
  for (size_t i = 0; i < end_; ++i) {
    Job& job = *batch_[i];
    if (!job.placed()) continue;
    if (std::find(flushed.begin(), flushed.end(), job.target_folder) != flushed.end()) continue;
    if (std::error_code ec = s_.fs.FlushFolder(*job.folder)) {
      // Every row placed in that folder waits for its flush.
      for (size_t k = i; k < end_; ++k) {
        Job& other = *batch_[k];
        if (other.placed() && other.target_folder == job.target_folder) {
          other.failure =
              "The folder " + std::string(job.target_folder) +
              " could not be flushed, so the copy may not survive a power cut: " + Sentence(ec);
        }
      }
      StopAfter(i);
      continue;
    }
    flushed.push_back(job.target_folder);
  }
}

// What each row of the batch did goes into its tree's journal once the
// folders are flushed: a copy in place is done, whatever the report says of
// it; a row whose file stands as before is not; a row whose kept file could
// not be moved back keeps its journal open for the next run to recover.
void BatchCommit::JournalOutcomes() {
  std::vector<RunRecord*> touched;
  for (const auto& job : batch_) {
    RunRecord* record = job->journalled ? s_.keeping.RecordOf(job->target) : nullptr;
    if (record == nullptr) continue;
    if (job->state == RowState::kMovedAside) {
      record->NoteUnsettled();
      continue;
    }
    if (job->placed() && !job->not_kept.empty() && job->seen) {
      record->NoteUnkept(job->record_path, *job->seen);
    }
    record->NoteOutcome(job->record_path, job->placed());
    if (std::find(touched.begin(), touched.end(), record) == touched.end()) {
      touched.push_back(record);
    }
  }
  for (RunRecord* record : touched) {
    const std::error_code ec = record->Flush();
    if (!ec) continue;
    for (size_t i = 0; i < end_; ++i) {
      Job& job = *batch_[i];
      if (!job.placed() || s_.keeping.RecordOf(job.target) != record || job.failure) continue;
      job.failure = "The record of this sync could not be flushed, so the row may not be undone: " +
                    Sentence(ec);
      StopAfter(i);
    }
  }
}

}  // namespace tandrel
