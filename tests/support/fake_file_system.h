// An in-memory file system for tests: folders list their entries in the
// order they were made, a settable clock stamps what is written, and every
// primitive can be told to fail on its Nth call or for a given path.
#pragma once

#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel::testing {

// The steps that can be made to fail. CopyContents goes through kOpen (the
// source), kCreate (the new file), then kRead and kWrite for each block and
// kClose at the end; a failing kWrite leaves the new file half written.
enum class Op { kList, kStat, kOpen, kCreate, kRead, kWrite, kClose, kSetTime, kRename, kRemove };

class FakeFileSystem final : public FileSystem {
 public:
  FakeFileSystem();

  // Building the tree. Missing parent folders are made on the way; a path
  // may be given with or without a trailing separator.
  void AddFolder(const std::string& path, bool hidden = false);
  void AddFile(const std::string& path, const std::string& contents, FileTime time,
               bool hidden = false, std::uint32_t permissions = 0644);
  // A link at `path` to `target`; it lists as a folder link when the target
  // is a folder and as a file otherwise.
  void AddLink(const std::string& path, const std::string& target);
  // Makes a file's time unreadable (Stat fails for it, as for a broken link).
  void SetTimeless(const std::string& path);

  // Looking at the result.
  bool Exists(const std::string& path) const;
  std::string Contents(const std::string& path) const;
  FileTime TimeOf(const std::string& path) const;
  std::uint32_t PermissionsOf(const std::string& path) const;
  bool IsLink(const std::string& path) const;
  // Every path in the tree, sorted.
  std::vector<std::string> AllPaths() const;

  // The time given to files that CopyContents creates.
  void SetClock(FileTime now) { clock_ = now; }
  // Size of the blocks CopyContents moves (so tests can fail a later block).
  void SetBlockSize(size_t size) { block_size_ = size; }

  // Fault injection. `nth` counts calls of that step from 1, from now on.
  void FailNth(Op op, int nth, std::error_code error);
  void FailPath(Op op, const std::string& path, std::error_code error);
  void ClearFaults();
  int Calls(Op op) const;

  std::error_code ListFolder(const std::string& folder, std::vector<DirEntry>* entries) override;
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override;
  std::error_code CopyContents(const std::string& from, const std::string& to) override;
  std::error_code SetWriteTime(const std::string& path, FileTime time) override;
  std::error_code Rename(const std::string& from, const std::string& to, bool replace) override;
  std::error_code Remove(const std::string& path) override;

 private:
  struct Node {
    EntryKind kind = EntryKind::kFile;  // kFolder for folders; links keep a target
    bool hidden = false;
    bool timeless = false;
    std::string contents;
    FileTime time = 0;
    std::uint32_t permissions = 0644;
    std::string link_target;            // non-empty for a link
    std::vector<std::string> children;  // names, in the order they were made
  };
  struct Fault {
    Op op;
    int nth;           // 0 with a path
    int calls_before;  // calls of `op` made before the fault was set
    std::string path;
    std::error_code error;
  };

  static std::string Key(const std::string& path);
  static std::string Parent(const std::string& key);
  static std::string Name(const std::string& key);
  Node& Make(const std::string& path, EntryKind kind);
  const Node* Find(const std::string& path) const;
  Node* Find(const std::string& path);
  // Follows links (a few levels) to the node they end at, if any.
  const Node* Resolve(const std::string& path) const;
  void Unlink(const std::string& key);
  std::error_code Step(Op op, const std::string& path);

  std::map<std::string, Node> nodes_;
  std::vector<Fault> faults_;
  std::map<Op, int> calls_;
  FileTime clock_ = 0;
  size_t block_size_ = 1 << 16;
};

}  // namespace tandrel::testing
