#include "sync/safe_copy.h"

#include <cstdio>
#include <random>

namespace tandrel {
namespace {

// Enough for names left behind by crashed runs; beyond that something else
// is wrong and the copy fails.
constexpr int kNameAttempts = 64;

}  // namespace

TempNames::TempNames() {
  std::random_device random;
  char token[9];
  std::snprintf(token, sizeof token, "%08x", static_cast<unsigned>(random()));
  token_ = token;
}

std::string TempNames::Next() {
  return "~tandrel-" + token_ + "-" + std::to_string(++counter_) + ".tmp";
}

std::error_code SafeCopy(FileSystem& fs, const std::string& source, FileTime source_time,
                         const std::string& target, bool replace, TempNames& names) {
  const size_t cut = target.rfind(kSeparator);
  const std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
  std::string temp;
  std::error_code ec;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    temp = folder + names.Next();
    ec = fs.CopyContents(source, temp);
    if (ec != std::errc::file_exists) break;
  }
  // The name taken belongs to someone else: there is nothing of ours to remove.
  if (ec == std::errc::file_exists) return ec;
  if (!ec) ec = fs.SetWriteTime(temp, source_time);
  if (!ec) ec = fs.Rename(temp, target, replace);
  if (ec) DeleteFileQuiet(fs, temp);
  return ec;
}

void DeleteFileQuiet(FileSystem& fs, const std::string& path) { (void)fs.Remove(path); }

}  // namespace tandrel
