#include "sync/safe_copy.h"

namespace tandrel {
namespace {

// Enough for names left behind by crashed runs; beyond that something else
// is wrong and the copy fails.
constexpr int kNameAttempts = 64;

// A file being written while it is copied is copied again, this many times
// in all, before the copy gives up on it.
constexpr int kWholeCopyAttempts = 3;

}  // namespace

std::error_code WriteTemporaryCopy(FileSystem& fs, const Folder& from, std::string_view name,
                                   const Folder& to, TempNames& names, TemporaryCopy* copy,
                                   FollowLinks follow, const CopyWatch* watch) {
  std::error_code ec;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    copy->name = names.Next();
    ec = fs.CreateTemporary(to, copy->name, &copy->file);
    if (ec != std::errc::file_exists) break;
  }
  // Every name tried belongs to someone else: there is nothing of ours.
  if (ec) {
    copy->name.clear();
    return ec;
  }
  ec = fs.CopyInto(from, name, copy->file, &copy->source, follow, watch);
  if (ec) DeleteFileQuiet(fs, to, *copy);
  return ec;
}

std::error_code WriteWholeCopy(FileSystem& fs, const Folder& from, std::string_view name,
                               const Folder& to, TempNames& names, TemporaryCopy* copy,
                               FollowLinks follow, const CopyWatch* watch) {
  std::error_code ec;
  for (int attempt = 0; attempt < kWholeCopyAttempts; ++attempt) {
    ec = WriteTemporaryCopy(fs, from, name, to, names, copy, follow, watch);
    if (ec != std::errc::resource_unavailable_try_again) break;
  }
  return ec;
}

void DeleteFileQuiet(FileSystem& fs, const Folder& folder, TemporaryCopy& copy) {
  std::error_code ec;
  if (!copy.name.empty()) ec = fs.RemoveTemporary(folder, copy.name, copy.file);
  copy.file.Reset();
  if (!ec || ec == std::errc::no_such_file_or_directory) copy.name.clear();
}

}  // namespace tandrel
