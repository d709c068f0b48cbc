#include "sync/safe_copy.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>

namespace tandrel {
namespace {

// Enough for names left behind by crashed runs; beyond that something else
// is wrong and the copy fails.
constexpr int kNameAttempts = 64;

// A file being written while it is copied is copied again, this many times
// in all, before the copy gives up on it.
constexpr int kWholeCopyAttempts = 3;

constexpr std::string_view kPrefix = "~tandrel-";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kLegacyTokenLength = 8;
constexpr size_t kTokenLength = 16;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

TempNames::TempNames() {
  std::random_device random;
  char token[kTokenLength + 1];
  std::snprintf(token, sizeof token, "%08x%08x", static_cast<unsigned>(UnixSecondsNow()),
                static_cast<unsigned>(random()));
  token_ = token;
}

std::optional<std::int64_t> TempNames::StartedAt(std::string_view name) {
  if (!name.starts_with(kPrefix) || name.size() < kPrefix.size() + kTokenLength + 1 ||
      name[kPrefix.size() + kTokenLength] != '-') {
    return std::nullopt;
  }
  const char* start = name.data() + kPrefix.size();
  std::uint32_t seconds = 0;
  const auto [end, ec] = std::from_chars(start, start + 8, seconds, 16);
  if (ec != std::errc() || end != start + 8) return std::nullopt;
  return seconds;
}

std::int64_t UnixSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string TempNames::Next() {
  return std::string(kPrefix) + token_ + "-" + std::to_string(++counter_) + std::string(kSuffix);
}

bool TempNames::IsOthers(std::string_view name) const {
  // Exactly the shape Next makes, so that no file of anybody else's is ever
  // taken for a leftover.
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return false;
  name.remove_prefix(kPrefix.size());
  name.remove_suffix(kSuffix.size());
  const size_t length = name.find('-');
  if ((length != kTokenLength && length != kLegacyTokenLength) || name.size() < length + 2) {
    return false;
  }
  const std::string_view token = name.substr(0, length);
  const std::string_view number = name.substr(length + 1);
  for (char c : token) {
    if (!IsHexDigit(c)) return false;
  }
  for (char c : number) {
    if (!IsDigit(c)) return false;
  }
  return token != token_;
}

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
