// Check All, Uncheck All and the sync run: what the bottom buttons do after
// the push-button pattern has let the press through.
#pragma once

#include <stop_token>
#include <string>
#include <string_view>

#include "compare/compare_run.h"
#include "platform/file_system.h"
#include "platform/io_pool.h"
#include "platform/window.h"
#include "sync/run_record.h"
#include "sync/sync_progress.h"

namespace tandrel {

inline constexpr const char* kSyncDone = "Done.";
inline constexpr const char* kContactMe = "contact me";

// Ticks (or unticks) every row of the plan; no message, nothing else changes.
void CheckAll(PlanList& plan);
void UncheckAll(PlanList& plan);

// Performs the ticked rows of the plan in order, on the calling thread:
// copy rows put the Source into the Destination folder under its own name,
// overwrite rows replace the Destination file, and each performed row's
// Action becomes "Done"; an Action that is neither shows "contact me" and
// the run goes on. At the end "Done." is shown and then the plan is emptied.
//
// `compared` names the two folders of the compare run that made the rows:
// every path of a row is reached from the one of them it lies in, one
// folder at a time and never through a link, so nothing outside them is
// read or written, whatever is renamed meanwhile. A row that lies in
// neither is not performed.
//
// Every file is first written to a temporary file beside its target and
// renamed into place only when its data is on disk, so a failure never
// costs the old file; a row is "Done" only when it would survive a power
// cut. A copy row never replaces an entry that is already at its target (a
// file the user made after the compare, a link, or where case is ignored a
// name differing only in case), unless this run wrote it; an overwrite row
// refuses a Destination that is now newer than its Source, unless this run
// wrote it, and one that changed while its copy was written. A row that
// cannot be performed stops the run there with one message naming Source,
// Destination and the reason (with keep-going, the run goes on with the
// next rows and tells each failure); the plan then keeps its rows.
//
// The copy path follows what each target folder's storage keeps: a copy's
// size and times are read back before it is put in place (a copy that lost
// bytes is never used), times a driver did not keep are set again, and the
// copies that could not keep them are named after the run; files on FUSE
// drivers and network shares are flushed one by one and closed before they
// are renamed.
//
// Of several rows that write one target, the newest source ends there
// whatever the rows' order: a later row with an older source is not
// performed, keeps its Action, and is named in one message after the run.
//
// The file an overwrite replaces is not deleted but moved aside into the
// run's record in its tree, and every row is journalled there first, so
// that the run can be undone (see run_record.h and undo.h).
//
// Temporary files that an interrupted run left in a folder written to are
// removed, and named in one message after the run.
//
// The copies of the next rows are written ahead on `io_threads` threads, so
// that the round trips of slow storage overlap; the rows are still put in
// place, marked and reported strictly in order, and whatever was written
// ahead for rows after a failure is removed.
//
// True when every ticked row was performed.
struct SyncOptions {
  int io_threads = IoPool::kFitStorage;
  // Performs every row it can instead of stopping at the first failure.
  bool keep_going = false;
  // Stops the run at the next row, or part-way through the copy under way:
  // no further row is put in place, the rows that are keep "Done", and the
  // others their Action, as after a failure there, but with no message.
  std::stop_token stop;
  // Where to report how far the run has got, if anywhere.
  SyncProgress* progress = nullptr;
  // A file an overwrite replaces is kept (see run_record.h), and kept files
  // of runs that began more than this many days ago are removed from the
  // trees written to; with 0 nothing is kept.
  int keep_days = kDefaultKeepDays;
};
bool SyncRun(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
             const SyncOptions& options);
bool SyncRun(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
             int io_threads = IoPool::kFitStorage);

// The start of the message that names the leftovers removed.
inline constexpr std::string_view kLeftoversRemoved =
    "These temporary files, left by a sync that was interrupted, were removed:";
// The start of the message that names the rows not performed because this
// run had already put a newer file at their target.
inline constexpr std::string_view kSuperseded =
    "These rows were not performed, since this sync had already put a newer file where they "
    "would copy to:";
// The start of the message that names the files replaced without being kept.
inline constexpr std::string_view kNotKept =
    "These files were replaced without keeping the older file (undo cannot bring them back), "
    "each for the reason named:";
// Told when settling a run that was cut short put files back, before any
// row is performed.
inline constexpr std::string_view kCompareAgain =
    "Files that an interrupted sync had moved aside are back in their places, so the list "
    "may no longer be right. Compare again, then sync.";
// The start of the message that names the kept runs removed for room.
inline constexpr std::string_view kRemovedForRoom =
    "The disk was full, so the files kept from these earlier syncs were removed to make room:";
// The start of the message that names the temporary files a run could not
// remove.
inline constexpr std::string_view kTemporariesLeft =
    "These temporary files of this sync could not be removed:";
// The start of the message that names the copies whose file system did not
// keep their source's last-write time.
inline constexpr std::string_view kTimesNotKept =
    "The file system did not keep the last-write time of these copies, so a later compare may "
    "propose them again:";

}  // namespace tandrel
