#include "compare/plan.h"

#include <algorithm>

#include "compare/file_name.h"
#include "compare/matching.h"
#include "platform/path_text.h"

namespace tandrel {
namespace {

bool FromTree1(RowKind kind) {
  return kind == RowKind::kCopy1To2 || kind == RowKind::kOverwrite1On2;
}

// Opens the top folder `top` as `root` and says what its storage keeps;
// false when it cannot be opened.
bool OpenTop(FileSystem& fs, const std::string& top, std::shared_ptr<Folder>* root,
             Storage* storage, BuildResult* result) {
  *root = std::make_shared<Folder>();
  if (std::error_code ec = fs.OpenRoot(top, root->get())) {
    result->error = ec;
    result->failed_folder = top;
    return false;
  }
  (void)fs.Describe(**root, storage);
  return true;
}

// Gathers the files of one tree into `list`, from its top folder opened as
// `root`; false when the top folder cannot be listed.
bool GatherTree(FileSystem& fs, const std::string& top, const std::shared_ptr<Folder>& root,
                FileList* list, BuildResult* result, PlanProgress* progress,
                const BuildOptions& options, IoPool& pool,
                std::function<bool(std::string_view)> wants_time = {}) {
  std::vector<std::string> folders{top};
  WalkOptions walk;
  walk.stop = options.stop;
  walk.pool = &pool;
  walk.wants_time = std::move(wants_time);
  walk.visit = [&](const std::string& folder, size_t, const std::vector<DirEntry>& entries) {
    std::uint32_t number = UINT32_MAX;
    for (const DirEntry& entry : entries) {
      if (!IsListedFile(entry) || entry.name.empty() || entry.name[0] == '~') continue;
      if (entry.name == kRecordName && folder == top) continue;
      if (number == UINT32_MAX) {
        // The folder path keeps its separator, so folder + name is the
        // folder without its separator, one separator, and the name.
        std::string path = folder;
        EndWithSeparator(&path);
        number = list->AddFolder(std::move(path));
      }
      list->AddFile(number, entry.name, entry.write_time);
    }
    ++progress->folders;
    progress->files += entries.size();
    if (options.progress) options.progress(*progress);
  };
  UnreadableFolder exhausted;
  walk.exhausted = &exhausted;
  std::vector<UnreadableFolder> unreadable = WalkOpenFolders(fs, {root}, &folders, walk);
  if (exhausted.error) {
    result->error = exhausted.error;
    result->failed_folder = exhausted.path;
    return false;
  }
  if (!unreadable.empty() && unreadable.front().path == top) {
    result->error = unreadable.front().error;
    result->failed_folder = top;
    return false;
  }
  for (UnreadableFolder& u : unreadable) result->unreadable.push_back(std::move(u));
  return true;
}

// The size of file `i` of `list`, through a link, reached from the top
// folder `top` whose path is the first `top_length` characters of the file's.
std::optional<std::int64_t> SizeOf(FileSystem& fs, const FileList& list, size_t i,
                                   const Folder& top, size_t top_length) {
  Folder folder;
  if (fs.OpenBeneath(top, std::string_view(list.Folder(i)).substr(top_length), &folder)) {
    return std::nullopt;
  }
  FileInfo info;
  if (fs.StatAt(folder, list.Name(i), FollowLinks::kYes, &info)) return std::nullopt;
  return info.stamp.size;
}

// FAT keeps times in 2-second steps and local time; a tree that lies on it
// has its pairs' times compared as FAT can keep them.
FatTimes FatTimesOf(FileSystem& fs, const Plan& plan, const Folder& root1, const Folder& root2,
                    bool on_fat) {
  FatTimes fat;
  fat.on_fat = on_fat;
  fat.same_size = [&fs, &plan, &root1, &root2](std::uint32_t i, std::uint32_t j) {
    const std::optional<std::int64_t> size1 =
        SizeOf(fs, plan.files1, i, root1, plan.folder1.size());
    return size1 && size1 == SizeOf(fs, plan.files2, j, root2, plan.folder2.size());
  };
  return fat;
}

}  // namespace

std::string Plan::PathText::Joined() const {
  std::string text;
  text.reserve(folder.size() + name.size());
  text.append(folder);
  text.append(name);
  return text;
}

Plan::PathText Plan::SourceText(size_t i) const {
  const Entry& e = entries[i];
  const FileList& list = FromTree1(e.kind) ? files1 : files2;
  return {list.Folder(e.source), list.Name(e.source)};
}

std::string_view Plan::Action(size_t i) const {
  switch (entries[i].kind) {
    case RowKind::kCopy1To2:
      return kCopyTo2Action;
    case RowKind::kCopy2To1:
      return kCopyTo1Action;
    default:
      return kOverwriteAction;
  }
}

Plan::PathText Plan::DestinationText(size_t i) const {
  const Entry& e = entries[i];
  switch (e.kind) {
    case RowKind::kCopy1To2:
      return {folder2, {}};
    case RowKind::kCopy2To1:
      return {folder1, {}};
    case RowKind::kOverwrite1On2:
      return {files2.Folder(e.destination), files2.Name(e.destination)};
    case RowKind::kOverwrite2On1:
      return {files1.Folder(e.destination), files1.Name(e.destination)};
  }
  return {};
}

std::vector<PlanRow> Plan::Rows(bool checked) const {
  std::vector<PlanRow> rows;
  rows.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    rows.push_back({Source(i), std::string(Action(i)), Destination(i), checked});
  }
  return rows;
}

void PlanList::AppendPlan(std::shared_ptr<const Plan> plan) {
  if (plan) Append(plan->Rows(/*checked=*/false));
}

BuildResult BuildPlan(FileSystem& fs, const std::string& folder1, const std::string& folder2,
                      const BuildOptions& options) {
  BuildResult result;
  Plan& plan = result.plan;
  plan.folder1 = folder1;
  plan.folder2 = folder2;
  PlanProgress progress;
  // Both top folders are opened and described once: what they are decides
  // how many requests suit them and how times are compared.
  std::shared_ptr<Folder> root1;
  std::shared_ptr<Folder> root2;
  Storage storage1;
  Storage storage2;
  if (!OpenTop(fs, folder1, &root1, &storage1, &result) ||
      !OpenTop(fs, folder2, &root2, &storage2, &result)) {
    return result;
  }
  // On a local disk as many threads as processors walk at first; the walk
  // lets more go once it finds the disk read from rather than the cache.
  int threads = options.io_threads;
  int width = options.io_threads;
  if (options.io_threads == IoPool::kFitStorage) {
    width = IoPool::ThreadsFor(storage1.remote || storage2.remote);
    threads = std::max(width, IoPool::kDefaultThreads);
  }
  IoPool pool(threads, width);
  if (!GatherTree(fs, folder1, root1, &plan.files1, &result, &progress, options, pool)) {
    return result;
  }
  // Tree 1 known, the files of tree 2 that have a namesake in it are known
  // as soon as they are listed, and their times are read right then.
  const NameIndex index1(plan.files1);
  if (!GatherTree(fs, folder2, root2, &plan.files2, &result, &progress, options, pool,
                  [&](std::string_view name) { return index1.First(name) != NameIndex::kNone; })) {
    return result;
  }
  const std::stop_token& stop = options.stop;
  if (stop.stop_requested()) {
    result.cancelled = true;
    return result;
  }

  // Tree 2's namesakes are looked up beside the index of tree 2 and tree
  // 1's namesakes, which tree 1's times wait for.
  std::vector<std::uint32_t> namesakes2;
  TaskCount lookup;
  lookup.Submit(pool, [&] { namesakes2 = FirstNamesakes(plan.files2, index1); });
  const NameIndex index2(plan.files2);
  const std::vector<std::uint32_t> namesakes1 = FirstNamesakes(plan.files1, index2);
  const std::vector<std::uint32_t> only1 = UnmatchedFiles(namesakes1);
  // Times are wanted only for files with a namesake on the other side.
  plan.files1.ReadWriteTimes(
      fs, *root1, folder1.size(), [&](size_t i) { return namesakes1[i] != NameIndex::kNone; },
      &pool);
  lookup.Wait();
  const std::vector<std::uint32_t> only2 = UnmatchedFiles(namesakes2);
  plan.files2.ReadWriteTimes(
      fs, *root2, folder2.size(), [&](size_t i) { return namesakes2[i] != NameIndex::kNone; },
      &pool);
  const std::vector<Overwrite> overwrites = ProposeOverwrites(
      plan.files1, plan.files2, namesakes1, index2, fs, stop,
      FatTimesOf(fs, plan, *root1, *root2, storage1.local_time || storage2.local_time));
  if (stop.stop_requested()) {
    result.cancelled = true;
    return result;
  }

  plan.entries.reserve(only1.size() + only2.size() + overwrites.size());
  for (std::uint32_t f : only1) plan.entries.push_back({RowKind::kCopy1To2, f, 0});
  for (std::uint32_t f : only2) plan.entries.push_back({RowKind::kCopy2To1, f, 0});
  for (const Overwrite& o : overwrites) {
    if (o.from_list1) {
      plan.entries.push_back({RowKind::kOverwrite1On2, o.file1, o.file2});
    } else {
      plan.entries.push_back({RowKind::kOverwrite2On1, o.file2, o.file1});
    }
  }
  return result;
}

}  // namespace tandrel
