// The first step of a row, run on a thread of the pool beside the rows
// around it: the target's folder is reached and its leftovers swept, an
// overwrite's target looked at, the source copied into a temporary file
// beside the target (links at the source followed only where that is
// safe), looked at once more, and on a share flushed and closed.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/file_system.h"
#include "sync/compared_trees.h"
#include "sync/run_keeping.h"
#include "sync/safe_copy.h"
#include "sync/sync_job.h"
#include "sync/sync_progress.h"
#include "sync/sync_report.h"

namespace tandrel {

class PrepareCopy {
 public:
  PrepareCopy(FileSystem& fs, ComparedTrees& trees, RunKeeping& keeping, TempNames& names,
              const CopyWatch& watch, SyncProgress* progress, SyncReport& report)
      : fs_(fs),
        trees_(trees),
        keeping_(keeping),
        names_(names),
        watch_(watch),
        progress_(progress),
        report_(report) {}

  // Writes the row's temporary copy; the reason in words when the row
  // cannot be performed. May be called from several threads at once.
  std::optional<std::string> operator()(Job& job);

 private:
  // Opens `folder_text` from its tree; the reason in words when it cannot.
  std::optional<std::string> OpenBelow(std::string_view folder_text, bool source,
                                       std::shared_ptr<const Folder>* folder);
  // The reason an overwrite's target may not be replaced, if any.
  std::optional<std::string> LookAtTarget(Job& job, const Folder& from, std::string_view name);
  std::optional<std::string> CopyFromLink(Job& job, std::shared_ptr<const Folder> folder,
                                          std::string_view name, std::error_code* ec);
  std::optional<std::string> LexicallyInside(std::string_view folder_text, std::string_view target);
  void SweepLeftovers(std::string_view folder_text, const Folder& folder, const Storage& storage);
  bool OldEnough(const Folder& folder, std::string_view name);

  FileSystem& fs_;
  ComparedTrees& trees_;
  RunKeeping& keeping_;
  TempNames& names_;
  const CopyWatch& watch_;
  SyncProgress* const progress_;
  SyncReport& report_;
  std::mutex mutex_;
  std::unordered_set<std::string> swept_;
};

// A full disk, or the user's quota on it used up.
bool IsOutOfSpace(const std::error_code& ec);

}  // namespace tandrel
