// The file system of Linux and other POSIX systems.
#pragma once

#include <chrono>
#include <map>
#include <mutex>

#include "platform/file_system.h"

namespace tandrel {

// Folders are descriptors opened with O_DIRECTORY; below a top folder each
// is reached with openat and O_NOFOLLOW from its parent (on Linux, a whole
// relative path at once with openat2 and RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS). A temporary holds an flock while it is open.
class PosixFileSystem final : public FileSystem {
 public:
  std::error_code OpenRoot(const std::string& path, Folder* folder) override;
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override;
  std::error_code OpenFolder(const Folder& parent, std::string_view name, Folder* folder) override;
  std::error_code OpenBeneath(const Folder& root, std::string_view relative,
                              Folder* folder) override;
  std::error_code List(const Folder& folder, std::vector<DirEntry>* entries) override;
  std::error_code StatAt(const Folder& folder, std::string_view name, FollowLinks follow,
                         FileInfo* info) override;
  void WriteTimesIn(const Folder& folder, const std::vector<std::string_view>& names,
                    std::vector<std::optional<FileTime>>* times) override;
  std::error_code CreateTemporary(const Folder& folder, std::string_view name,
                                  OpenFile* file) override;
  std::error_code CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                           FileInfo* copied, FollowLinks follow = FollowLinks::kYes,
                           const CopyWatch* watch = nullptr) override;
  std::error_code ReadLink(const Folder& folder, std::string_view name,
                           std::string* target) override;
  // Many files on one local file system are flushed with one syncfs, which
  // costs about what one fdatasync does; only when that fails is each file
  // flushed on its own, to find the one that failed. Files on FUSE drivers
  // and network shares, which syncfs does not reach, are each flushed.
  std::error_code FlushFiles(std::span<OpenFile* const> files, size_t* failed) override;
  // Held: the descriptor (and its lock) stays open, and a duplicate is
  // closed to hear what the close says.
  std::error_code CloseTemporary(OpenFile& temp, bool keep_held) override;
  std::error_code SetTimesAt(const Folder& folder, std::string_view name,
                             const FileInfo& times) override;
  // Kept per mounted file system once found.
  std::error_code Describe(const Folder& folder, Storage* storage) override;
  std::error_code RenameTemporary(const Folder& folder, std::string_view temp_name, OpenFile& temp,
                                  std::string_view to, bool replace) override;
  std::error_code RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                  OpenFile& temp) override;
  std::error_code FlushFolder(const Folder& folder) override;
  std::error_code RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                  bool* removed) override;
  // A name that begins with a dot hides a folder here: `hidden` asks nothing more.
  std::error_code MakeFolder(const Folder& parent, std::string_view name, bool hidden,
                             Folder* folder) override;
  std::error_code MoveBetween(const Folder& from, std::string_view name, const Folder& to,
                              std::string_view to_name, bool replace) override;
  std::error_code LinkBetween(const Folder& from, std::string_view name, const Folder& to,
                              std::string_view to_name) override;
  std::error_code AppendText(OpenFile& file, std::string_view text) override;
  std::error_code OpenToAppend(const Folder& folder, std::string_view name,
                               OpenFile* file) override;
  std::error_code ReadText(const Folder& folder, std::string_view name, std::string* text) override;
  std::error_code RemoveEmptyFolder(const Folder& folder, std::string_view name) override;

 protected:
  void Close(std::intptr_t value) override;
  std::error_code FlushFile(OpenFile& file) override;

 private:
  // What one device refuses: a driver that refuses renameat2's flag or hard
  // links refuses them for every file, and on a FUSE driver (fusefat) each
  // refusal is a round trip. What was learnt is forgotten after a minute,
  // since another disk may be given the same device number once this one
  // is gone.
  enum Refused : std::uint8_t { kRename2Flag = 1, kHardLinks = 2 };
  struct Learnt {
    std::uint8_t refused;
    std::chrono::steady_clock::time_point when;
  };
  // Device 0 (not told) has learnt nothing and learns nothing.
  std::uint8_t RefusedOn(std::uint64_t device);
  void Remember(std::uint64_t device, Refused refused);

  std::mutex described_mutex_;
  std::map<std::uint64_t, Storage> described_;
  std::mutex refusals_mutex_;
  std::map<std::uint64_t, Learnt> refusals_;
};

}  // namespace tandrel
