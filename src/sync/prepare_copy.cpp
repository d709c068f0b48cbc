#include "sync/prepare_copy.h"

#include <cerrno>
#include <vector>

#include "compare/file_name.h"
#include "compare/last_modified.h"
#include "platform/path_text.h"
#include "sync/check_copy.h"
#include "sync/clock.h"
#include "sync/reason.h"
#include "sync/windows_names.h"

namespace tandrel {
namespace {

constexpr std::string_view kChangedSinceCompare =
    "The file there has changed since the compare and is now newer than the file to copy, so "
    "it was not replaced.";
constexpr std::string_view kOutside =
    "It does not lie in either of the two compared folders, so nothing was written.";
constexpr std::string_view kLinkOnTheWayThere =
    "A folder on the way there was replaced by a link since the compare, so nothing was written.";
constexpr std::string_view kGoneOnTheWayThere =
    "A folder on the way there is gone since the compare, so nothing was written.";
constexpr std::string_view kLinkOnTheWayToSource =
    "A folder on the way to the file to copy was replaced by a link since the compare, so "
    "nothing was written.";
constexpr std::string_view kGoneOnTheWayToSource =
    "A folder on the way to the file to copy is gone since the compare, so nothing was written.";
constexpr std::string_view kLinkOutside =
    "It is a link that leads outside the two compared folders and belongs to another user, so "
    "it was not copied.";
constexpr std::string_view kKeptChanging =
    "The file to copy was being changed while it was copied, three times over, so it was not "
    "copied. Sync again once it is saved.";

// How many links in a row are followed to the file they lead to.
constexpr int kLinkHops = 8;

// A leftover on a share may belong to a sync that another computer is
// running (locks are not seen across computers): it is left alone until it
// is this old.
constexpr std::int64_t kRemoteLeftoverSeconds = 24 * 3600;

}  // namespace

bool IsOutOfSpace(const std::error_code& ec) {
#ifdef EDQUOT
  if (ec == std::error_code(EDQUOT, std::generic_category())) return true;
#endif
  return ec == std::errc::no_space_on_device;
}

std::optional<std::string> PrepareCopy::operator()(Job& job) {
  const PlanRow& row = job.row;
  const std::string_view name = FileNamePart(row.source);
  if (name.empty() || job.target_name.empty()) return std::string(kOutside);

  std::shared_ptr<const Folder> from;
  if (auto failure = OpenBelow(FolderPart(row.source), /*source=*/true, &from)) return failure;
  if (auto failure = OpenBelow(job.target_folder, /*source=*/false, &job.folder)) return failure;
  const Folder& folder = *job.folder;
  job.storage = trees_.StorageOf(job.target_folder, folder);
  // Asked to take such a name, a share may fail for a few seconds whatever
  // it is asked next, or keep the file under another name; a Windows folder
  // would take it, and no program could then open the file by its path.
  if (job.storage.windows_names && !job.overwrite) {
    if (std::optional<std::string> refused = WindowsRefuses(job.target_name)) {
      return *refused + ", so " + row.source + " was not copied.";
    }
  }
  SweepLeftovers(job.target_folder, folder, job.storage);
  if (job.overwrite) {
    if (auto failure = LookAtTarget(job, *from, name)) return failure;
  }
  if (progress_ != nullptr) progress_->SetFile(row.source);
  // A link is read through only where that is safe (see CopyFromLink).
  std::error_code ec =
      WriteWholeCopy(fs_, *from, name, folder, names_, &job.copy, FollowLinks::kNo, &watch_);
  if (ec == std::errc::too_many_symbolic_link_levels) {
    if (auto failure = CopyFromLink(job, from, name, &ec)) return failure;
  }
  if (!ec && job.storage.remote) {
    // Flushing the whole file system would not reach this storage: the
    // file is flushed itself, here, beside the other rows' copies; and
    // closed, so that a write the server refused is heard of, and so that
    // a server that will not rename an open file can rename it.
    OpenFile* const file = &job.copy.file;
    size_t failed = 0;
    ec = fs_.FlushFiles({&file, 1}, &failed);
    if (!ec) ec = fs_.CloseTemporary(job.copy.file, /*keep_held=*/false);
  }
  if (ec) {
    job.out_of_space = IsOutOfSpace(ec);
    if (ec == std::errc::resource_unavailable_try_again) return std::string(kKeptChanging);
    return Sentence(ec);
  }
  FileInfo placed;
  std::optional<std::string> failure =
      CheckCopy(fs_, folder, job.copy.name, job.copy.source, job.storage, &job.time_kept, &placed);
  job.put_stamp = job.copy.source.stamp;
  job.put_stamp.device = 0;
  job.put_stamp.file_id = placed.stamp.file_id;
  return failure;
}

std::optional<std::string> PrepareCopy::LookAtTarget(Job& job, const Folder& from,
                                                     std::string_view name) {
  FileInfo source;
  if (std::error_code ec = fs_.StatAt(from, name, FollowLinks::kYes, &source)) {
    return Sentence(ec);
  }
  FileInfo there;
  const std::error_code ec = fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &there);
  if (ec == std::errc::no_such_file_or_directory) return std::nullopt;
  if (ec) return Sentence(ec);
  job.seen = there.stamp;
  std::optional<FileTime> there_time = there.write_time;
  if (there.is_link) {
    FileInfo target;
    there_time.reset();
    if (!fs_.StatAt(*job.folder, job.target_name, FollowLinks::kYes, &target)) {
      there_time = target.write_time;
    }
  }
  if (!job.target_is_ours && CompareWriteTimes(there_time, source.write_time) > 0) {
    return std::string(kChangedSinceCompare);
  }
  return std::nullopt;
}

std::optional<std::string> PrepareCopy::OpenBelow(std::string_view folder_text, bool source,
                                                  std::shared_ptr<const Folder>* folder) {
  const std::error_code ec = trees_.OpenBelow(folder_text, folder);
  if (!ec) return std::nullopt;
  if (ec == std::errc::too_many_symbolic_link_levels) {
    return std::string(source ? kLinkOnTheWayToSource : kLinkOnTheWayThere);
  }
  if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
    return std::string(source ? kGoneOnTheWayToSource : kGoneOnTheWayThere);
  }
  if (ec == std::errc::invalid_argument) return std::string(kOutside);
  return Sentence(ec);
}

// A link of the user this runs as is read through, as the kernel's
// protected_symlinks rule would let that user; anyone else's only where it
// leads to a file inside the compared folders, reached from there one
// folder at a time: run by root over a user's folders, a link must not
// carry a file of the machine into a place that user can read.
std::optional<std::string> PrepareCopy::CopyFromLink(Job& job, std::shared_ptr<const Folder> folder,
                                                     std::string_view name, std::error_code* ec) {
  std::string path = job.row.source;
  std::string resolved_name(name);
  for (int hop = 0; hop < kLinkHops; ++hop) {
    FileInfo link;
    if ((*ec = fs_.StatAt(*folder, resolved_name, FollowLinks::kNo, &link))) return std::nullopt;
    if (!link.is_link) break;
    if (link.owned_by_caller && hop == 0) {
      *ec = WriteWholeCopy(fs_, *folder, resolved_name, *job.folder, names_, &job.copy,
                           FollowLinks::kYes, &watch_);
      return std::nullopt;
    }
    std::string target;
    if ((*ec = fs_.ReadLink(*folder, resolved_name, &target))) return std::nullopt;
    const std::optional<std::string> inside = LexicallyInside(FolderPart(path), target);
    if (!inside) return std::string(kLinkOutside);
    path = *inside;
    resolved_name = FileNamePart(path);
    if (auto failure = OpenBelow(FolderPart(path), /*source=*/true, &folder)) return failure;
  }
  *ec = WriteWholeCopy(fs_, *folder, resolved_name, *job.folder, names_, &job.copy,
                       FollowLinks::kNo, &watch_);
  if (*ec == std::errc::too_many_symbolic_link_levels) return std::string(kLinkOutside);
  return std::nullopt;
}

// The path a link's `target` names from the folder `folder_text`, with "."
// and ".." taken away by the text alone, when it lies in one of the
// compared folders.
std::optional<std::string> PrepareCopy::LexicallyInside(std::string_view folder_text,
                                                        std::string_view target) {
  std::string joined = !target.empty() && target.front() == kSeparator
                           ? std::string(target)
                           : std::string(folder_text) + std::string(target);
  const bool absolute = !joined.empty() && joined.front() == kSeparator;
  std::vector<std::string_view> names;
  std::string_view rest = joined;
  while (!rest.empty()) {
    const std::string_view part = TakeFirstName(&rest);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (names.empty()) return std::nullopt;
      names.pop_back();
      continue;
    }
    names.push_back(part);
  }
  const std::string path =
      (absolute ? std::string(1, kSeparator) : std::string()) + JoinNames(names);
  const ComparedTrees::Tree* tree = trees_.TreeOf(path);
  if (tree == nullptr || path.size() <= tree->text.size()) return std::nullopt;
  return path;
}

// Removes, once per folder, the temporaries that an interrupted run left
// there. Best effort: what cannot be listed or removed stays.
void PrepareCopy::SweepLeftovers(std::string_view folder_text, const Folder& folder,
                                 const Storage& storage) {
  {
    std::lock_guard lock(mutex_);
    if (!swept_.emplace(folder_text).second) return;
  }
  // Before the first temporary there: a run killed from now on has its
  // temporaries removed by the next one.
  keeping_.NoteFolder(folder_text);
  std::vector<DirEntry> entries;
  if (fs_.List(folder, &entries)) return;
  for (const DirEntry& entry : entries) {
    if (entry.kind != EntryKind::kFile || !names_.IsOthers(entry.name)) continue;
    if (storage.remote && !OldEnough(folder, entry.name)) continue;
    bool removed = false;
    if (!fs_.RemoveIfNotHeld(folder, entry.name, &removed) && removed) {
      report_.LeftoverRemoved(std::string(folder_text) + entry.name);
    }
  }
}

// Whether a leftover on a share was made long enough ago that no sync of
// another computer can still be writing it: its name tells when its run
// began (an older name, when it was last written).
bool PrepareCopy::OldEnough(const Folder& folder, std::string_view name) {
  std::optional<std::int64_t> started = TempNames::StartedAt(name);
  if (!started) {
    FileInfo info;
    if (fs_.StatAt(folder, name, FollowLinks::kNo, &info)) return false;
    started = info.stamp.write_seconds;
  }
  return UnixSecondsNow() - *started > kRemoteLeftoverSeconds;
}

}  // namespace tandrel
