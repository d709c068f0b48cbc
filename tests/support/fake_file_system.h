// An in-memory file system for tests: folders list their entries in the
// order they were made, a settable clock stamps what is written, and every
// primitive can be told to fail on its Nth call or for a given path.
//
// Entries are nodes with identities, as on a real disk: an opened Folder
// stays on its folder when the folder is moved or a link takes its name,
// so a test can swap a folder for a link at any step (see SetHook) and see
// where the writes land. It may be called from several threads at once.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel::testing {

// The steps that can be made to fail. CopyInto goes through kOpen (the
// source), then kRead and kWrite for each block, then kSetTime; a failing
// kWrite leaves the new file half written. kCreate makes a temporary,
// kFlush puts one file's data on disk, kFlushFolder a folder's entries,
// kClose ends the writing of a temporary, kLink gives a file a second name.
enum class Op {
  kList,
  kStat,
  kOpenFolder,
  kOpen,
  kCreate,
  kRead,
  kWrite,
  kSetTime,
  kFlush,
  kRename,
  kRemove,
  kFlushFolder,
  kClose,
  kLink,
};

// How a folder and everything below it behave, as a mounted driver would.
struct FakeStorage {
  Storage storage;                      // what Describe says; times are kept in its steps
  bool ignores_times = false;           // a time set is not kept (the clock's stays)
  bool resets_time_on_rename = false;   // a rename stamps the clock's time
  size_t drops_writes_past = SIZE_MAX;  // bytes past this size are lost, and yet "written"
  std::error_code close_error;          // what closing a written file reports
  bool refuses_open_rename = false;     // a file that is open cannot be renamed
  bool hard_links = true;               // a file can have a second name (not on FAT)
  // Names stored as given but listed as another (a server's short names);
  // a lookup of the name given still finds the file.
  std::map<std::string, std::string> lists_as;
  // The device its files' stamps name; SetStorage gives each a new one.
  std::uint64_t device = 1;
};

class FakeFileSystem final : public FileSystem {
 public:
  FakeFileSystem();
  ~FakeFileSystem() override;

  // Building the tree. Missing parent folders are made on the way; a path
  // may be given with or without a trailing separator.
  void AddFolder(const std::string& path, bool hidden = false);
  void AddFile(const std::string& path, const std::string& contents, FileTime time,
               bool hidden = false, std::uint32_t permissions = 0644);
  // A link at `path` to `target`; it lists as a folder link when the target
  // is a folder and as a file otherwise.
  void AddLink(const std::string& path, const std::string& target);
  // Writes a file in place, as another program saving it would.
  void Write(const std::string& path, const std::string& contents, FileTime time);
  // Makes the entry at `path` belong to another user than the caller.
  void SetOwnedByOthers(const std::string& path);
  // Makes a file's time unreadable (Stat fails for it, as for a broken link).
  void SetTimeless(const std::string& path);
  // Moves the entry at `from` to `to` (which must not exist), as another
  // program renaming it would; what is open stays open.
  void Move(const std::string& from, const std::string& to);

  // Looking at the result.
  bool Exists(const std::string& path) const;
  std::string Contents(const std::string& path) const;
  FileTime TimeOf(const std::string& path) const;
  std::uint32_t PermissionsOf(const std::string& path) const;
  bool IsLink(const std::string& path) const;
  // Every path in the tree, sorted.
  std::vector<std::string> AllPaths() const;
  // Whether a sync's temporary file ("~…") is anywhere in the tree.
  bool HasTemporaries() const;
  // What was made durable, in order: "flush PATH" for a file's data,
  // "rename PATH" for a temporary renamed to PATH, "link PATH" for a second
  // name made at PATH, "flush-folder PATH".
  std::vector<std::string> Journal() const;

  // Makes the folder at `path` and what lies below it behave as `storage`.
  void SetStorage(const std::string& path, FakeStorage storage);

  // The time given to files that CreateTemporary makes.
  void SetClock(FileTime now) { clock_ = now; }
  // Size of the blocks CopyInto moves (so tests can fail a later block).
  void SetBlockSize(size_t size) { block_size_ = size; }

  // Fault injection. `nth` counts calls of that step from 1, from now on.
  void FailNth(Op op, int nth, std::error_code error);
  // Every call from the nth on fails, as on a disk that has filled up.
  void FailFrom(Op op, int nth, std::error_code error);
  void FailPath(Op op, const std::string& path, std::error_code error);
  // The nth call of that step in a run's record (below ".tandrel") fails.
  void FailInRecord(Op op, int nth, std::error_code error);
  void ClearFaults();
  // A power cut at the `nth` call of `op` (counted from now): that call and
  // every later one fail with an I/O error and change nothing, as on a
  // machine that stopped there. Until PowerBack.
  void CutPowerAt(Op op, int nth);
  void PowerBack();
  bool PowerIsCut() const { return cut_.dead; }
  // Another program holds the file at `path` open: the next `attempts`
  // moves, replaces or removals of it fail with
  // std::errc::device_or_resource_busy, and ProgramHolding names `program`
  // meanwhile.
  void HoldOpen(const std::string& path, int attempts, std::string program);
  // The calls of that step so far, but for those in the runs' records.
  int Calls(Op op) const;
  // Called at every step, before it acts, with the step and its path; it may
  // change the tree (a racing program).
  void SetHook(std::function<void(Op, const std::string&)> hook) { hook_ = std::move(hook); }
  // Makes each request of the walk wait a while first, up to `max_micros`,
  // drawn from `seed`, so that requests in flight together finish in a
  // scrambled order.
  void SetJitter(unsigned seed, int max_micros) {
    jitter_seed_ = seed;
    jitter_max_ = max_micros;
  }

  std::error_code OpenRoot(const std::string& path, Folder* folder) override;
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override;
  std::error_code OpenFolder(const Folder& parent, std::string_view name, Folder* folder) override;
  std::error_code List(const Folder& folder, std::vector<DirEntry>* entries) override;
  std::error_code StatAt(const Folder& folder, std::string_view name, FollowLinks follow,
                         FileInfo* info) override;
  std::error_code CreateTemporary(const Folder& folder, std::string_view name,
                                  OpenFile* file) override;
  std::error_code MakeFolder(const Folder& parent, std::string_view name, bool hidden,
                             Folder* folder) override;
  std::error_code MoveBetween(const Folder& from, std::string_view name, const Folder& to,
                              std::string_view to_name, bool replace) override;
  // The second name is a node of its own with the first's id, bytes and
  // times as they were then (nothing here writes a file in place after).
  std::error_code LinkBetween(const Folder& from, std::string_view name, const Folder& to,
                              std::string_view to_name) override;
  std::error_code AppendText(OpenFile& file, std::string_view text) override;
  std::error_code OpenToAppend(const Folder& folder, std::string_view name,
                               OpenFile* file) override;
  std::error_code ReadText(const Folder& folder, std::string_view name, std::string* text) override;
  std::error_code RemoveEmptyFolder(const Folder& folder, std::string_view name) override;
  std::error_code CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                           FileInfo* copied, FollowLinks follow = FollowLinks::kYes,
                           const CopyWatch* watch = nullptr) override;
  std::error_code ReadLink(const Folder& folder, std::string_view name,
                           std::string* target) override;
  std::error_code CloseTemporary(OpenFile& temp, bool keep_held) override;
  std::error_code SetTimesAt(const Folder& folder, std::string_view name,
                             const FileInfo& times) override;
  std::error_code Describe(const Folder& folder, Storage* storage) override;
  std::error_code RenameTemporary(const Folder& folder, std::string_view temp_name, OpenFile& temp,
                                  std::string_view to, bool replace) override;
  std::error_code RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                  OpenFile& temp) override;
  std::error_code FlushFolder(const Folder& folder) override;
  std::error_code RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                  bool* removed) override;
  std::string ProgramHolding(const Folder& folder, std::string_view name) override;

 protected:
  void Close(std::intptr_t value) override;
  std::error_code FlushFile(OpenFile& file) override;

 private:
  struct Node;
  using NodePtr = std::shared_ptr<Node>;
  struct Fault {
    Op op;
    int nth;           // 0 with a path
    int calls_before;  // calls of `op` made before the fault was set
    std::string path;
    std::error_code error;
    bool from_on = false;    // every call from the nth on fails
    bool in_record = false;  // nth counts calls in the runs' records only
  };

  static std::string Key(const std::string& path);
  std::string PathOf(const Node* node) const;
  std::string PathIn(const Node* folder, std::string_view name) const;
  NodePtr Make(const std::string& path, EntryKind kind);
  // The node at `path`, following links on the way only with `follow`.
  NodePtr Find(const std::string& path, bool follow_final = false) const;
  NodePtr Resolve(NodePtr node) const;
  NodePtr FolderOf(const Folder& folder) const;
  NodePtr Child(const NodePtr& folder, std::string_view name) const;
  std::vector<NodePtr>::iterator ChildAt(const NodePtr& folder, std::string_view name) const;
  // The storage the node lies on: that of its nearest folder with one.
  const FakeStorage& StorageOf(const Node* node) const;
  // A time as the node's storage keeps it.
  FileTime Kept(const Node* node, FileTime time) const;
  // The node of a temporary, by its handle or, once let go of, its name.
  NodePtr TemporaryOf(const NodePtr& folder, std::string_view name, const OpenFile& temp) const;
  std::error_code StatNode(NodePtr node, FollowLinks follow, FileInfo* info) const;
  NodePtr FileOf(const OpenFile& file) const;
  void FillInfo(const Node& node, bool is_link, FileInfo* info) const;
  void Detach(const NodePtr& node);
  void Attach(const NodePtr& folder, const std::string& name, const NodePtr& node);
  std::error_code Step(Op op, const std::string& path);
  // Busy while another program holds the file at `path` (see HoldOpen).
  std::error_code Held(const std::string& path);
  void Jitter();

  mutable std::recursive_mutex mutex_;
  NodePtr root_;
  std::uint64_t next_id_ = 1;
  std::uint64_t next_device_ = 2;
  // What the open handles refer to, by handle value.
  std::map<std::intptr_t, NodePtr> open_;
  std::set<std::intptr_t> held_;  // the handles of temporaries
  struct PowerCut {
    bool armed = false;
    bool dead = false;
    Op op{};
    int at_call = 0;
    int calls = 0;  // of `op` since the cut was set, in records too
  } cut_;
  std::intptr_t next_handle_ = 1;
  std::vector<Fault> faults_;
  struct Holder {
    int attempts;
    std::string program;
  };
  std::map<std::string, Holder> holders_;  // by Key of the path
  std::map<Op, int> calls_;
  std::map<Op, int> record_calls_;
  std::vector<std::string> journal_;
  std::function<void(Op, const std::string&)> hook_;
  std::atomic<unsigned> jitter_calls_ = 0;
  unsigned jitter_seed_ = 0;
  int jitter_max_ = 0;
  FileTime clock_ = 0;
  std::map<const Node*, FakeStorage> storages_;
  FakeStorage default_storage_;
  size_t block_size_ = 1 << 16;
};

}  // namespace tandrel::testing
