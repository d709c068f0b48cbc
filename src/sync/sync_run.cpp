#include "sync/sync_run.h"

#include <optional>
#include <string_view>
#include <unordered_set>

#include "compare/file_name.h"
#include "compare/last_modified.h"
#include "compare/plan.h"
#include "sync/safe_copy.h"

namespace tandrel {
namespace {

constexpr std::string_view kAlreadyThere =
    "A file of that name already exists there and was not replaced.";
constexpr std::string_view kChangedSinceCompare =
    "The file there has changed since the compare and is now newer than the file to copy, so "
    "it was not replaced.";

// The system's reason as a sentence: one full stop, whatever the platform's
// text ends with.
std::string Sentence(const std::error_code& ec) {
  std::string text = ec.message();
  text.erase(text.find_last_not_of(" .\r\n") + 1);
  if (text.empty()) text = "Error " + std::to_string(ec.value());
  return text + ".";
}

std::string FailureMessage(const std::string& source, const std::string& target,
                           std::string_view reason) {
  std::string text = "Could not copy\n\n";
  text += source;
  text += "\n\nto\n\n";
  text += target;
  text += "\n\n";
  text += reason;
  return text;
}

// One sync run's memory: the files it has written, so that a later row may
// replace them (and only them) without asking, and its temporary names.
class Run {
 public:
  explicit Run(FileSystem& fs) : fs_(fs) {}

  // Each returns the reason in words when the row could not be performed.

  // Puts `source` at `target`, which must not exist unless this run wrote it.
  std::optional<std::string> Copy(const std::string& source, const std::string& target) {
    FileInfo info;
    if (std::error_code ec = fs_.Stat(source, FollowLinks::kYes, &info)) return Sentence(ec);
    const bool replace = written_.contains(target);
    if (std::error_code ec = SafeCopy(fs_, source, info.write_time, target, replace, names_)) {
      if (!replace && ec == std::errc::file_exists) return std::string(kAlreadyThere);
      return Sentence(ec);
    }
    written_.insert(target);
    return std::nullopt;
  }

  // Replaces `target` with `source`, unless `target` has become newer than
  // `source` since the compare and this run did not write it.
  std::optional<std::string> Overwrite(const std::string& source, const std::string& target) {
    FileInfo info;
    if (std::error_code ec = fs_.Stat(source, FollowLinks::kYes, &info)) return Sentence(ec);
    if (!written_.contains(target) &&
        CompareWriteTimes(GetLastWriteTime(fs_, target), info.write_time) > 0) {
      return std::string(kChangedSinceCompare);
    }
    if (std::error_code ec = SafeCopy(fs_, source, info.write_time, target, true, names_)) {
      return Sentence(ec);
    }
    written_.insert(target);
    return std::nullopt;
  }

 private:
  FileSystem& fs_;
  TempNames names_;
  std::unordered_set<std::string> written_;
};

}  // namespace

void CheckAll(PlanList& plan) { plan.SetAllChecked(true); }

void UncheckAll(PlanList& plan) { plan.SetAllChecked(false); }

void SyncRun(PlanList& plan, Shell& shell, FileSystem& fs) {
  Run run(fs);
  const int count = plan.Count();
  for (int position = 1; position <= count; ++position) {
    const PlanRow row = plan.Row(position);
    if (!row.checked) continue;
    std::string target;
    std::optional<std::string> failure;
    // "copied" is looked for first: an Action holding both words is a copy.
    if (row.action.find("copied") != std::string::npos) {
      target = row.destination;
      target += FileNamePart(row.source);
      failure = run.Copy(row.source, target);
    } else if (row.action.find("overwrite") != std::string::npos) {
      target = row.destination;
      failure = run.Overwrite(row.source, target);
    } else {
      shell.ShowMessage(kContactMe);
      continue;
    }
    if (failure) {
      // The run stops here: this row keeps its Action, later rows are not
      // performed, and the plan stays for the user to look at.
      shell.ShowMessage(FailureMessage(row.source, target, *failure));
      return;
    }
    plan.SetAction(position, std::string(kDoneAction));
  }
  shell.ShowMessage(kSyncDone);
  plan.Clear();
}

}  // namespace tandrel
