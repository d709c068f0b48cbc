#include "sync/put_in_place.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

#include "compare/last_modified.h"
#include "sync/check_copy.h"
#include "sync/held_file.h"
#include "sync/reason.h"
#include "sync/run_folder.h"
#include "sync/windows_names.h"

namespace tandrel {
namespace {

constexpr std::string_view kAlreadyThere =
    "A file of that name already exists there and was not replaced.";
constexpr std::string_view kChangedDuringCopy =
    "The file there changed while its copy was being written, so it was not replaced.";

}  // namespace

std::string CaseTaken(std::string_view there) {
  return "A file whose name differs from it only in letter case, " + std::string(there) +
         ", is already there, and this folder does not tell such names apart, so it was not "
         "replaced.";
}

std::optional<std::string> PutInPlace::MoveAside(Job& job) {
  FileInfo now;
  const std::error_code ec = fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &now);
  if (ec && ec != std::errc::no_such_file_or_directory) return Sentence(ec);
  if (ec || now.stamp != *job.seen) return std::string(kChangedDuringCopy);
  RunRecord& record = *keeping_.RecordOf(job.target);
  const std::error_code kept = RetryWhileHeld(
      [&] {
        return record.Keep(*job.folder, job.record_path, job.target_name, KeptName(job.target_name),
                           &job.linked_aside);
      },
      job.storage, stop_);
  if (kept == std::errc::cross_device_link || kept == std::errc::operation_not_supported) {
    job.keep = false;
    job.not_kept = kept == std::errc::cross_device_link
                       ? "it is on another disk, mounted inside the folder"
                       : "its disk cannot move it aside";
    return std::nullopt;
  }
  if (kept) return WhyNotReplaced(job, kept);
  job.state = RowState::kMovedAside;
  return std::nullopt;
}

std::optional<std::string> PutInPlace::Put(Job& job) {
  if (!job.closed()) {
    // What the storage says at close is heard before the copy is used.
    if (std::error_code ec = fs_.CloseTemporary(job.copy.file, /*keep_held=*/true)) {
      return Sentence(ec);
    }
  }
  const TargetLedger::Written* written = ledger_.WrittenAt(job.key);
  // Of several rows that write one target, the newest source stays there,
  // whatever order the rows come in.
  if (written != nullptr &&
      CompareWriteTimes(job.copy.source.write_time, written->source_time) < 0) {
    job.state = RowState::kSuperseded;
    return std::nullopt;
  }
  const bool keeping_now = job.keep && !job.kept();
  if (keeping_now) {
    if (std::optional<std::string> failure = MoveAside(job)) return failure;
  }
  const bool replace = (job.overwrite || written != nullptr) && (!job.kept() || job.linked_aside);
  // MoveAside has just looked at what it gave a second name; one kept
  // earlier in the batch (on a share) is looked at again.
  if (replace && !(keeping_now && job.linked_aside)) {
    if (auto failure = CheckReplaced(job, written)) return failure;
  }
  // A kept file was moved aside (MoveAside) and the copy takes its empty
  // place, or it has a second name in the record and the copy replaces it:
  // a crash in between leaves the one kept and the other in its temporary,
  // never neither.
  const auto rename = [&] {
    return fs_.RenameTemporary(*job.folder, job.copy.name, job.copy.file, job.target_name, replace);
  };
  // Only a file that is there can be held by another program.
  if (std::error_code ec = replace ? RetryWhileHeld(rename, job.storage, stop_) : rename()) {
    if (job.kept() && ec == std::errc::file_exists) return std::string(kChangedDuringCopy);
    if (!replace && ec == std::errc::file_exists) {
      if (std::optional<std::string> there = CaseVariantThere(job)) return CaseTaken(*there);
      return std::string(kAlreadyThere);
    }
    return replace ? WhyNotReplaced(job, ec) : Sentence(ec);
  }
  job.copy.name.clear();
  job.state = RowState::kPlaced;
  const bool repeated = ledger_.Repeated(job.key);
  // Some drivers stamp a file with the time of its rename. What this run
  // must recognise again at the target is mended now; the rest of the
  // batch side by side, before its folders are flushed.
  if (job.storage.remote && repeated) MendTimes(job);
  // Closing may wait for a round trip to a network share: it is done on the
  // pool, beside the next rows; but at once where a later row of this run
  // replaces the file (Windows does not replace a file still open).
  if (!repeated) {
    tasks_.Submit(pool_,
                  [file = std::make_shared<OpenFile>(std::move(job.copy.file))] { file->Reset(); });
    return std::nullopt;
  }
  job.copy.file.Reset();
  FileInfo now;
  std::optional<FileStamp> stamp;
  if (!fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &now)) stamp = now.stamp;
  ledger_.RecordWritten(job.key, job.copy.source.write_time, stamp);
  return std::nullopt;
}

// What stands at the target must be what the row may replace: what this
// run put there, or what stood there when the copy began.
std::optional<std::string> PutInPlace::CheckReplaced(const Job& job,
                                                     const TargetLedger::Written* written) {
  FileInfo now;
  const std::error_code ec = fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &now);
  if (ec && ec != std::errc::no_such_file_or_directory) return Sentence(ec);
  std::optional<FileStamp> there;
  if (!ec) there = now.stamp;
  const std::optional<FileStamp>& expected = written != nullptr ? written->stamp : job.seen;
  if (there != expected) return std::string(kChangedDuringCopy);
  return std::nullopt;
}

void PutInPlace::PutBack(Job& job) {
  if (job.state != RowState::kMovedAside) return;
  // Where it cannot be moved back, it stays kept and the row unsettled: the
  // next run puts it back (see recovery.h).
  if (keeping_.RecordOf(job.target)
          ->PutBack(*job.folder, job.record_path, job.target_name, KeptName(job.target_name),
                    job.linked_aside)) {
    return;
  }
  job.state = RowState::kWritten;
}

void PutInPlace::MendTimes(Job& job) {
  if (!tandrel::MendTimes(fs_, *job.folder, job.target_name, job.copy.source, job.storage)) {
    job.time_kept = false;
  }
}

// The reason a row's target could not be moved aside or replaced; where
// another program may hold it, says so and names the program if the
// system can tell.
std::string PutInPlace::WhyNotReplaced(const Job& job, const std::error_code& ec) {
  if (!MayBeHeld(ec, job.storage)) return Sentence(ec);
  return HeldReason(ec, job.storage, job.target, fs_.ProgramHolding(*job.folder, job.target_name),
                    "replaced");
}

// The name there that differs from the target's only in letter case.
std::optional<std::string> PutInPlace::CaseVariantThere(const Job& job) {
  // A handle of its own: some drivers (smbnetfs) list a folder only once
  // per handle, and the sweep may have listed this one.
  Folder fresh;
  std::vector<DirEntry> entries;
  if (fs_.OpenFolder(*job.folder, ".", &fresh) || fs_.List(fresh, &entries)) return std::nullopt;
  const std::string folded = FoldCase(job.target_name);
  for (const DirEntry& entry : entries) {
    if (entry.name != job.target_name && FoldCase(entry.name) == folded) return entry.name;
  }
  return std::nullopt;
}

// A share may accept a rename to a name it cannot keep and then hold the
// file under another name (Samba shows a name ending in a dot under a short
// one, smbnetfs cuts a name at '?'), while a lookup of the name still finds
// it, through a cache or the server's own mapping. So the names a share may
// change are looked for in a fresh listing of their folder, once per folder
// and batch; a copy whose name is not there is removed by the name it was
// given, which still leads to it, and its row fails. A name made only of
// letters, digits, '-', '_' and dots is kept everywhere, and costs no
// listing.
void PutInPlace::CheckNamesKept(const Batch& batch, size_t end) {
  std::vector<std::vector<Job*>> by_folder;
  for (size_t i = 0; i < end; ++i) {
    Job& job = *batch[i];
    if (!job.placed() || job.overwrite || !job.storage.remote || PlainName(job.target_name)) {
      continue;
    }
    auto same = std::find_if(by_folder.begin(), by_folder.end(), [&](const auto& jobs) {
      return jobs.front()->target_folder == job.target_folder;
    });
    if (same == by_folder.end()) same = by_folder.insert(by_folder.end(), std::vector<Job*>());
    same->push_back(&job);
  }
  for (const std::vector<Job*>& jobs : by_folder) CheckNamesIn(jobs);
}

void PutInPlace::CheckNamesIn(const std::vector<Job*>& jobs) {
  // A handle of its own, so that nothing the rename left behind answers.
  Folder fresh;
  std::vector<DirEntry> entries;
  if (fs_.OpenFolder(*jobs.front()->folder, ".", &fresh) || fs_.List(fresh, &entries)) return;
  std::unordered_set<std::string_view> names;
  for (const DirEntry& entry : entries) names.insert(entry.name);
  for (Job* job : jobs) {
    if (names.contains(job->target_name)) continue;
    job->state = RowState::kWritten;
    const std::string folded = FoldCase(job->target_name);
    const auto variant = std::find_if(entries.begin(), entries.end(), [&](const DirEntry& e) {
      return FoldCase(e.name) == folded;
    });
    if (job->storage.ignores_case && variant != entries.end()) {
      // The file there may be the user's: it stays.
      job->failure = CaseTaken(variant->name);
      continue;
    }
    job->failure = "The share did not keep the name " + std::string(job->target_name) +
                   " (it may not allow some characters, or a name ending in a dot or a "
                   "space), so the copy was " +
                   (RemoveNotKept(*job) ? "removed." : "left there under another name.");
  }
}

// Removes the copy by the name it was given until that name leads nowhere:
// a share may say yes to a removal while a handle of its own (a close the
// driver has not passed on yet) still holds the file, and keep it.
bool PutInPlace::RemoveNotKept(const Job& job) {
  constexpr std::chrono::milliseconds kWaits[] = {
      std::chrono::milliseconds(0),   std::chrono::milliseconds(100),
      std::chrono::milliseconds(200), std::chrono::milliseconds(400),
      std::chrono::milliseconds(800), std::chrono::milliseconds(1000)};
  for (const std::chrono::milliseconds wait : kWaits) {
    std::this_thread::sleep_for(wait);
    bool removed = false;
    (void)fs_.RemoveIfNotHeld(*job.folder, job.target_name, &removed);
    Folder fresh;
    FileInfo there;
    if (!fs_.OpenFolder(*job.folder, ".", &fresh) &&
        fs_.StatAt(fresh, job.target_name, FollowLinks::kNo, &there) ==
            std::errc::no_such_file_or_directory) {
      return true;
    }
  }
  return false;
}

}  // namespace tandrel
