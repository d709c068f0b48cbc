#include "support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/separator.h"
#include "support/path.h"

namespace tandrel::testing {
namespace fs = std::filesystem;
namespace {

// Paths are UTF-8 on every platform; std::filesystem wants to know that.
fs::path Native(const std::string& path) {
  return fs::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path dir = fs::temp_directory_path() /
                 ("tandrel-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(dir);
  const std::u8string utf8 = dir.u8string();
  path_.assign(utf8.begin(), utf8.end());
  if (path_.back() != kSeparator) path_ += kSeparator;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Folders a test made read-only must be writable again to be removed.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

std::string TempFolder::MakeFolder(const std::string& relative) const {
  const std::string made = path_ + P(relative);
  fs::create_directories(Native(made));
  return made;
}

std::string TempFolder::Write(const std::string& relative, const std::string& contents,
                              long long unix_seconds) const {
  const std::string made = path_ + P(relative);
  const fs::path path = Native(made);
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary);
    out << contents;
  }
  if (unix_seconds != 0) {
    const auto sys = std::chrono::system_clock::time_point(std::chrono::seconds(unix_seconds));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(sys));
  }
  return made;
}

void TempFolder::SetWriteTime(const std::string& path, FileTime time) {
  const auto since_1970 = std::chrono::nanoseconds(
      (time - kUnixEpochInFileTimeSeconds * kFileTimeTicksPerSecond) * 100);
  const auto sys = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(since_1970));
  fs::last_write_time(Native(path), std::chrono::file_clock::from_sys(sys));
}

std::string TempFolder::Read(const std::string& path) {
  std::ifstream in(Native(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace tandrel::testing
