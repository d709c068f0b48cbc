#include "support/fake_file_system.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace tandrel::testing {

struct FakeFileSystem::Node {
  std::uint64_t id = 0;
  EntryKind kind = EntryKind::kFile;  // kFolder for folders; links keep a target
  bool hidden = false;
  bool timeless = false;
  bool others = false;  // belongs to another user
  std::string contents;
  FileTime time = 0;
  std::uint32_t permissions = 0644;
  std::string link_target;  // non-empty for a link
  Node* parent = nullptr;   // null for the root and for what was removed
  std::string name;
  std::vector<NodePtr> children;  // in the order they were made
};

namespace {

std::error_code Errc(std::errc e) { return std::make_error_code(e); }

std::string FoldCase(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::vector<std::string> Components(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= key.size()) {
    const size_t cut = std::min(key.find(kSeparator, start), key.size());
    if (cut > start) parts.push_back(key.substr(start, cut - start));
    start = cut + 1;
  }
  return parts;
}

}  // namespace

FakeFileSystem::FakeFileSystem() : root_(std::make_shared<Node>()) {
  // The root of the tree: "" stands for the path made of a lone separator.
  root_->kind = EntryKind::kFolder;
  root_->id = next_id_++;
}

FakeFileSystem::~FakeFileSystem() = default;

std::string FakeFileSystem::Key(const std::string& path) {
  std::string key = path;
  while (!key.empty() && key.back() == kSeparator) key.pop_back();
  return key;
}

std::string FakeFileSystem::PathOf(const Node* node) const {
  std::string path;
  for (; node != nullptr && node != root_.get(); node = node->parent) {
    path.insert(0, node->name);
    path.insert(path.begin(), kSeparator);
  }
  return path;
}

std::string FakeFileSystem::PathIn(const Node* folder, std::string_view name) const {
  std::string path = PathOf(folder);
  path += kSeparator;
  path += name;
  return path;
}

FakeFileSystem::NodePtr FakeFileSystem::Find(const std::string& path, bool follow_final) const {
  const std::vector<std::string> parts = Components(Key(path));
  NodePtr node = root_;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) node = Resolve(node);
    if (node == nullptr || node->kind != EntryKind::kFolder) return nullptr;
    node = Child(node, parts[i]);
    if (node == nullptr) return nullptr;
  }
  return follow_final ? Resolve(node) : node;
}

FakeFileSystem::NodePtr FakeFileSystem::Resolve(NodePtr node) const {
  for (int depth = 0; node != nullptr && !node->link_target.empty(); ++depth) {
    if (depth == 8) return nullptr;
    node = Find(node->link_target);
  }
  return node;
}

void FakeFileSystem::Detach(const NodePtr& node) {
  if (node->parent == nullptr) return;
  auto& siblings = node->parent->children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), node));
  node->parent = nullptr;
}

void FakeFileSystem::Attach(const NodePtr& folder, const std::string& name, const NodePtr& node) {
  node->name = name;
  node->parent = folder.get();
  folder->children.push_back(node);
}

FakeFileSystem::NodePtr FakeFileSystem::Make(const std::string& path, EntryKind kind) {
  const std::vector<std::string> parts = Components(Key(path));
  NodePtr node = root_;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    auto it = std::find_if(node->children.begin(), node->children.end(),
                           [&](const NodePtr& c) { return c->name == parts[i]; });
    if (it != node->children.end()) {
      if (last && (kind != EntryKind::kFolder || (*it)->kind != EntryKind::kFolder)) {
        throw std::logic_error("fake file system: already exists: " + path);
      }
      node = *it;
      continue;
    }
    auto made = std::make_shared<Node>();
    made->id = next_id_++;
    made->kind = last ? kind : EntryKind::kFolder;
    Attach(node, parts[i], made);
    node = made;
  }
  return node;
}

void FakeFileSystem::AddFolder(const std::string& path, bool hidden) {
  std::lock_guard lock(mutex_);
  Make(path, EntryKind::kFolder)->hidden = hidden;
}

void FakeFileSystem::AddFile(const std::string& path, const std::string& contents, FileTime time,
                             bool hidden, std::uint32_t permissions) {
  std::lock_guard lock(mutex_);
  NodePtr node = Make(path, EntryKind::kFile);
  node->contents = contents;
  node->time = time;
  node->hidden = hidden;
  node->permissions = permissions;
}

void FakeFileSystem::AddLink(const std::string& path, const std::string& target) {
  std::lock_guard lock(mutex_);
  Make(path, EntryKind::kFile)->link_target = Key(target);
}

void FakeFileSystem::Write(const std::string& path, const std::string& contents, FileTime time) {
  std::lock_guard lock(mutex_);
  const NodePtr node = Find(path);
  node->contents = contents;
  node->time = time;
}

void FakeFileSystem::SetOwnedByOthers(const std::string& path) {
  std::lock_guard lock(mutex_);
  Find(path)->others = true;
}

std::error_code FakeFileSystem::ReadLink(const Folder& folder, std::string_view name,
                                         std::string* target) {
  std::lock_guard lock(mutex_);
  const NodePtr node = Child(FolderOf(folder), name);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->link_target.empty()) return Errc(std::errc::invalid_argument);
  *target = node->link_target;
  return {};
}

void FakeFileSystem::SetTimeless(const std::string& path) {
  std::lock_guard lock(mutex_);
  Find(path)->timeless = true;
}

void FakeFileSystem::Move(const std::string& from, const std::string& to) {
  std::lock_guard lock(mutex_);
  NodePtr node = Find(from);
  const std::string key = Key(to);
  const size_t cut = key.rfind(kSeparator);
  NodePtr folder = cut == std::string::npos ? root_ : Find(key.substr(0, cut), true);
  if (node == nullptr || folder == nullptr || Find(to) != nullptr) {
    throw std::logic_error("fake file system: cannot move " + from + " to " + to);
  }
  Detach(node);
  Attach(folder, key.substr(cut + 1), node);
}

bool FakeFileSystem::Exists(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return Find(path) != nullptr;
}

std::string FakeFileSystem::Contents(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const NodePtr node = Find(path, true);
  return node == nullptr ? std::string() : node->contents;
}

FileTime FakeFileSystem::TimeOf(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const NodePtr node = Find(path);
  return node == nullptr ? 0 : node->time;
}

std::uint32_t FakeFileSystem::PermissionsOf(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const NodePtr node = Find(path);
  return node == nullptr ? 0 : node->permissions;
}

bool FakeFileSystem::IsLink(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const NodePtr node = Find(path);
  return node != nullptr && !node->link_target.empty();
}

std::vector<std::string> FakeFileSystem::AllPaths() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  std::vector<const Node*> pending{root_.get()};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    if (node != root_.get()) paths.push_back(PathOf(node));
    for (const NodePtr& child : node->children) pending.push_back(child.get());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool FakeFileSystem::HasTemporaries() const {
  for (const std::string& path : AllPaths()) {
    if (path.find(std::string(1, kSeparator) + "~tandrel-") != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> FakeFileSystem::Journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

void FakeFileSystem::FailNth(Op op, int nth, std::error_code error) {
  std::lock_guard lock(mutex_);
  faults_.push_back({op, nth, calls_[op], {}, error});
}

void FakeFileSystem::FailInRecord(Op op, int nth, std::error_code error) {
  std::lock_guard lock(mutex_);
  Fault fault{op, nth, record_calls_[op], {}, error};
  fault.in_record = true;
  faults_.push_back(fault);
}

void FakeFileSystem::FailFrom(Op op, int nth, std::error_code error) {
  std::lock_guard lock(mutex_);
  faults_.push_back({op, nth, calls_[op], {}, error, true});
}

void FakeFileSystem::FailPath(Op op, const std::string& path, std::error_code error) {
  std::lock_guard lock(mutex_);
  faults_.push_back({op, 0, 0, Key(path), error});
}

void FakeFileSystem::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

int FakeFileSystem::Calls(Op op) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

void FakeFileSystem::HoldOpen(const std::string& path, int attempts, std::string program) {
  std::lock_guard lock(mutex_);
  holders_[Key(path)] = Holder{attempts, std::move(program)};
}

std::error_code FakeFileSystem::Held(const std::string& path) {
  const auto holder = holders_.find(Key(path));
  if (holder == holders_.end() || holder->second.attempts == 0) return {};
  --holder->second.attempts;
  return Errc(std::errc::device_or_resource_busy);
}

std::string FakeFileSystem::ProgramHolding(const Folder& folder, std::string_view name) {
  std::lock_guard lock(mutex_);
  const auto holder = holders_.find(Key(PathIn(FolderOf(folder).get(), name)));
  return holder == holders_.end() || holder->second.attempts == 0 ? std::string()
                                                                  : holder->second.program;
}

std::error_code FakeFileSystem::Step(Op op, const std::string& path) {
  // Steps in the runs' records are not counted: a fault meant for a row's
  // n-th step lands there whatever the record does meanwhile.
  const bool in_record = path.find(std::string(1, kSeparator) + ".tandrel") != std::string::npos;
  const int call = in_record ? calls_[op] : ++calls_[op];
  const int record_call = in_record ? ++record_calls_[op] : 0;
  if (cut_.armed && op == cut_.op && ++cut_.calls == cut_.at_call) cut_.dead = true;
  if (cut_.dead) return Errc(std::errc::io_error);
  if (hook_) hook_(op, path);
  const std::string key = Key(path);
  for (const Fault& fault : faults_) {
    if (fault.op != op) continue;
    if (fault.in_record) {
      if (in_record && record_call - fault.calls_before == fault.nth) return fault.error;
      continue;
    }
    if (fault.nth > 0 && !in_record && call - fault.calls_before == fault.nth) return fault.error;
    if (fault.from_on && call - fault.calls_before >= fault.nth) return fault.error;
    if (fault.nth == 0 && fault.path == key) return fault.error;
  }
  return {};
}

void FakeFileSystem::CutPowerAt(Op op, int nth) {
  std::lock_guard lock(mutex_);
  cut_ = {true, false, op, nth, 0};
}

void FakeFileSystem::PowerBack() {
  std::lock_guard lock(mutex_);
  cut_ = {};
}

void FakeFileSystem::Jitter() {
  if (jitter_max_ <= 0) return;
  // A cheap hash of the seed and the call's number: the same delays each run.
  unsigned x = jitter_seed_ * 2654435761u + (jitter_calls_++) * 40503u;
  x ^= x >> 13;
  x *= 0x5bd1e995u;
  x ^= x >> 15;
  std::this_thread::sleep_for(std::chrono::microseconds(x % static_cast<unsigned>(jitter_max_)));
}

FakeFileSystem::NodePtr FakeFileSystem::FolderOf(const Folder& folder) const {
  return open_.at(ValueOf(folder));
}

FakeFileSystem::NodePtr FakeFileSystem::FileOf(const OpenFile& file) const {
  return open_.at(ValueOf(file));
}

void FakeFileSystem::FillInfo(const Node& node, bool is_link, FileInfo* info) const {
  info->is_link = is_link;
  info->kind = is_link ? EntryKind::kFile : node.kind;
  info->write_time = node.time;
  info->permissions = node.permissions;
  info->owned_by_caller = !node.others;
  FileTime seconds = node.time / kFileTimeTicksPerSecond;
  FileTime ticks = node.time % kFileTimeTicksPerSecond;
  if (ticks < 0) {
    ticks += kFileTimeTicksPerSecond;
    --seconds;
  }
  info->stamp = {StorageOf(&node).device, node.id, static_cast<std::int64_t>(node.contents.size()),
                 seconds - kUnixEpochInFileTimeSeconds, static_cast<std::uint32_t>(ticks * 100)};
}

std::vector<FakeFileSystem::NodePtr>::iterator FakeFileSystem::ChildAt(
    const NodePtr& folder, std::string_view name) const {
  const bool fold = StorageOf(folder.get()).storage.ignores_case;
  return std::find_if(folder->children.begin(), folder->children.end(), [&](const NodePtr& c) {
    return fold ? FoldCase(c->name) == FoldCase(name) : c->name == name;
  });
}

FakeFileSystem::NodePtr FakeFileSystem::Child(const NodePtr& folder, std::string_view name) const {
  auto it = ChildAt(folder, name);
  return it == folder->children.end() ? nullptr : *it;
}

const FakeStorage& FakeFileSystem::StorageOf(const Node* node) const {
  for (; node != nullptr; node = node->parent) {
    if (auto found = storages_.find(node); found != storages_.end()) return found->second;
  }
  return default_storage_;
}

FileTime FakeFileSystem::Kept(const Node* node, FileTime time) const {
  const std::int64_t step = StorageOf(node).storage.time_step_ns / 100;
  if (step <= 1) return time;
  return time - ((time % step) + step) % step;
}

void FakeFileSystem::SetStorage(const std::string& path, FakeStorage storage) {
  std::lock_guard lock(mutex_);
  storage.device = next_device_++;
  storages_[Find(path).get()] = std::move(storage);
}

FakeFileSystem::NodePtr FakeFileSystem::TemporaryOf(const NodePtr& folder, std::string_view name,
                                                    const OpenFile& temp) const {
  return temp ? FileOf(temp) : Child(folder, name);
}

std::error_code FakeFileSystem::StatNode(NodePtr node, FollowLinks follow, FileInfo* info) const {
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  const bool is_link = !node->link_target.empty();
  if (is_link && follow == FollowLinks::kYes) {
    node = Resolve(node);
    if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  }
  if (node->timeless) return Errc(std::errc::permission_denied);
  FillInfo(*node, is_link && follow == FollowLinks::kNo, info);
  return {};
}

void FakeFileSystem::Close(std::intptr_t value) {
  std::lock_guard lock(mutex_);
  open_.erase(value);
  held_.erase(value);
}

std::error_code FakeFileSystem::OpenRoot(const std::string& path, Folder* folder) {
  std::lock_guard lock(mutex_);
  if (std::error_code ec = Step(Op::kOpenFolder, path)) return ec;
  NodePtr node = Find(path, true);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind != EntryKind::kFolder) return Errc(std::errc::not_a_directory);
  open_[next_handle_] = node;
  *folder = MakeHandle<FolderTag>(next_handle_++);
  return {};
}

std::error_code FakeFileSystem::OpenFolder(const Folder& parent, std::string_view name,
                                           Folder* folder) {
  Jitter();
  std::lock_guard lock(mutex_);
  NodePtr node = FolderOf(parent);
  if (name != ".") {
    if (std::error_code ec = Step(Op::kOpenFolder, PathIn(node.get(), name))) return ec;
    auto it = ChildAt(node, name);
    if (it == node->children.end()) return Errc(std::errc::no_such_file_or_directory);
    if (!(*it)->link_target.empty()) return Errc(std::errc::too_many_symbolic_link_levels);
    if ((*it)->kind != EntryKind::kFolder) return Errc(std::errc::not_a_directory);
    node = *it;
  }
  open_[next_handle_] = node;
  *folder = MakeHandle<FolderTag>(next_handle_++);
  return {};
}

std::error_code FakeFileSystem::List(const Folder& folder, std::vector<DirEntry>* entries) {
  Jitter();
  std::lock_guard lock(mutex_);
  entries->clear();
  const NodePtr node = FolderOf(folder);
  if (std::error_code ec = Step(Op::kList, PathOf(node.get()))) return ec;
  const auto& lists_as = StorageOf(node.get()).lists_as;
  for (const NodePtr& child : node->children) {
    DirEntry& entry = entries->emplace_back();
    const auto listed = lists_as.find(child->name);
    entry.name = listed != lists_as.end() ? listed->second : child->name;
    // As on POSIX, a leading dot hides a name.
    entry.hidden = child->hidden || (kSeparator == '/' && child->name[0] == '.');
    entry.kind = child->kind;
    if (!child->link_target.empty()) {
      const NodePtr target = Resolve(child);
      entry.kind = target == nullptr                    ? EntryKind::kOther
                   : target->kind == EntryKind::kFolder ? EntryKind::kFolderLink
                                                        : EntryKind::kFile;
    }
  }
  return {};
}

std::error_code FakeFileSystem::Stat(const std::string& path, FollowLinks follow, FileInfo* info) {
  std::lock_guard lock(mutex_);
  if (std::error_code ec = Step(Op::kStat, path)) return ec;
  return StatNode(Find(path), follow, info);
}

std::error_code FakeFileSystem::StatAt(const Folder& folder, std::string_view name,
                                       FollowLinks follow, FileInfo* info) {
  Jitter();
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kStat, PathIn(parent.get(), name))) return ec;
  return StatNode(Child(parent, name), follow, info);
}

std::error_code FakeFileSystem::CreateTemporary(const Folder& folder, std::string_view name,
                                                OpenFile* file) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kCreate, PathIn(parent.get(), name))) return ec;
  if (Child(parent, name) != nullptr) return Errc(std::errc::file_exists);
  auto made = std::make_shared<Node>();
  made->id = next_id_++;
  made->time = clock_;
  made->permissions = 0600;
  Attach(parent, std::string(name), made);
  open_[next_handle_] = made;
  held_.insert(next_handle_);
  *file = MakeHandle<OpenFileTag>(next_handle_++);
  return {};
}

std::error_code FakeFileSystem::CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                                         FileInfo* copied, FollowLinks follow,
                                         const CopyWatch* watch) {
  std::lock_guard lock(mutex_);
  const NodePtr folder = FolderOf(from);
  const NodePtr target = FileOf(to);
  if (std::error_code ec = Step(Op::kOpen, PathIn(folder.get(), name))) return ec;
  auto it = ChildAt(folder, name);
  if (it == folder->children.end()) return Errc(std::errc::no_such_file_or_directory);
  if (follow == FollowLinks::kNo && !(*it)->link_target.empty()) {
    return Errc(std::errc::too_many_symbolic_link_levels);
  }
  const NodePtr source = Resolve(*it);
  if (source == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (source->kind != EntryKind::kFile) return Errc(std::errc::invalid_argument);
  FillInfo(*source, false, copied);
  const std::string contents = source->contents;
  const FileTime copied_time = source->time;
  const std::string target_path = PathOf(target.get());
  for (size_t done = 0; done < contents.size() || done == 0; done += block_size_) {
    if (std::error_code ec = Step(Op::kRead, PathIn(folder.get(), name))) return ec;
    if (std::error_code ec = Step(Op::kWrite, target_path)) {
      // The part of the block that fitted before the disk filled up.
      target->contents += contents.substr(done, block_size_ / 2);
      return ec;
    }
    target->contents += contents.substr(done, block_size_);
    if (contents.empty()) break;
    const auto block = static_cast<std::int64_t>(std::min(block_size_, contents.size() - done));
    if (watch != nullptr && !watch->Wrote(block)) return Errc(std::errc::operation_canceled);
  }
  // Another program wrote to it meanwhile (see SetHook).
  if (source->contents != contents || source->time != copied_time) {
    return Errc(std::errc::resource_unavailable_try_again);
  }
  const FakeStorage& storage = StorageOf(target.get());
  if (target->contents.size() > storage.drops_writes_past) {
    target->contents.resize(storage.drops_writes_past);
  }
  target->permissions = source->permissions & 01777;
  if (std::error_code ec = Step(Op::kSetTime, target_path)) return ec;
  if (!storage.ignores_times) target->time = Kept(target.get(), source->time);
  return {};
}

std::error_code FakeFileSystem::CloseTemporary(OpenFile& temp, bool keep_held) {
  std::lock_guard lock(mutex_);
  const NodePtr node = FileOf(temp);
  if (std::error_code ec = Step(Op::kClose, PathOf(node.get()))) return ec;
  const std::error_code close_error = StorageOf(node.get()).close_error;
  if (!keep_held) {
    const std::intptr_t value = Release(temp);
    open_.erase(value);
    held_.erase(value);
  }
  return close_error;
}

std::error_code FakeFileSystem::SetTimesAt(const Folder& folder, std::string_view name,
                                           const FileInfo& times) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kSetTime, PathIn(parent.get(), name))) return ec;
  const NodePtr node = Child(parent, name);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (!node->link_target.empty()) return Errc(std::errc::too_many_symbolic_link_levels);
  if (!StorageOf(node.get()).ignores_times) {
    node->time = Kept(node.get(),
                      FileTimeFromUnix(times.stamp.write_seconds, times.stamp.write_nanoseconds));
  }
  return {};
}

std::error_code FakeFileSystem::Describe(const Folder& folder, Storage* storage) {
  std::lock_guard lock(mutex_);
  *storage = StorageOf(FolderOf(folder).get()).storage;
  return {};
}

std::error_code FakeFileSystem::FlushFile(OpenFile& file) {
  std::lock_guard lock(mutex_);
  const std::string path = PathOf(FileOf(file).get());
  if (std::error_code ec = Step(Op::kFlush, path)) return ec;
  journal_.push_back("flush " + path);
  return {};
}

std::error_code FakeFileSystem::RenameTemporary(const Folder& folder, std::string_view temp_name,
                                                OpenFile& temp, std::string_view to, bool replace) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  const std::string to_path = PathIn(parent.get(), to);
  if (std::error_code ec = Step(Op::kRename, to_path)) return ec;
  const NodePtr moved = TemporaryOf(parent, temp_name, temp);
  if (moved == nullptr || moved->parent != parent.get() || moved->name != temp_name) {
    return Errc(std::errc::no_such_file_or_directory);
  }
  const FakeStorage& storage = StorageOf(parent.get());
  if (temp && storage.refuses_open_rename) return Errc(std::errc::device_or_resource_busy);
  if (temp_name == to) return {};
  auto existing = ChildAt(parent, to);
  if (existing != parent->children.end()) {
    if (!replace) return Errc(std::errc::file_exists);
    if (std::error_code ec = Held(to_path)) return ec;
    if ((*existing)->kind == EntryKind::kFolder && (*existing)->link_target.empty()) {
      return Errc(std::errc::is_a_directory);
    }
  }
  Detach(moved);
  moved->name = std::string(to);
  moved->parent = parent.get();
  if (storage.resets_time_on_rename) moved->time = Kept(moved.get(), clock_);
  existing = ChildAt(parent, to);
  if (existing != parent->children.end()) {
    (*existing)->parent = nullptr;
    *existing = moved;  // replaced in place: keeps its listing position
  } else {
    parent->children.push_back(moved);
  }
  journal_.push_back("rename " + to_path);
  return {};
}

std::error_code FakeFileSystem::MakeFolder(const Folder& parent, std::string_view name, bool hidden,
                                           Folder* folder) {
  {
    std::lock_guard lock(mutex_);
    const NodePtr node = FolderOf(parent);
    if (std::error_code ec = Step(Op::kCreate, PathIn(node.get(), name))) return ec;
    if (Child(node, name) == nullptr) {
      auto made = std::make_shared<Node>();
      made->id = next_id_++;
      made->kind = EntryKind::kFolder;
      made->hidden = hidden;
      made->time = clock_;
      Attach(node, std::string(name), made);
    }
  }
  return OpenFolder(parent, name, folder);
}

std::error_code FakeFileSystem::MoveBetween(const Folder& from, std::string_view name,
                                            const Folder& to, std::string_view to_name,
                                            bool replace) {
  std::lock_guard lock(mutex_);
  const NodePtr source = FolderOf(from);
  const NodePtr target = FolderOf(to);
  const std::string to_path = PathIn(target.get(), to_name);
  if (std::error_code ec = Step(Op::kRename, to_path)) return ec;
  const NodePtr moved = Child(source, name);
  if (moved == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (std::error_code ec = Held(PathIn(source.get(), name))) return ec;
  if (&StorageOf(source.get()) != &StorageOf(target.get())) {
    return Errc(std::errc::cross_device_link);
  }
  const NodePtr there = Child(target, to_name);
  if (there != nullptr && !replace) return Errc(std::errc::file_exists);
  if (there != nullptr && there->kind == EntryKind::kFolder && there->link_target.empty()) {
    return Errc(std::errc::is_a_directory);
  }
  if (there != nullptr) Detach(there);
  Detach(moved);
  Attach(target, std::string(to_name), moved);
  journal_.push_back("rename " + to_path);
  return {};
}

std::error_code FakeFileSystem::LinkBetween(const Folder& from, std::string_view name,
                                            const Folder& to, std::string_view to_name) {
  std::lock_guard lock(mutex_);
  const NodePtr source = FolderOf(from);
  const NodePtr target = FolderOf(to);
  const std::string to_path = PathIn(target.get(), to_name);
  if (std::error_code ec = Step(Op::kLink, to_path)) return ec;
  if (!StorageOf(target.get()).hard_links) return Errc(std::errc::operation_not_supported);
  const NodePtr linked = Child(source, name);
  if (linked == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (linked->kind != EntryKind::kFile) return Errc(std::errc::operation_not_permitted);
  if (&StorageOf(source.get()) != &StorageOf(target.get())) {
    return Errc(std::errc::cross_device_link);
  }
  if (Child(target, to_name) != nullptr) return Errc(std::errc::file_exists);
  auto second = std::make_shared<Node>(*linked);
  second->parent = nullptr;
  Attach(target, std::string(to_name), second);
  journal_.push_back("link " + to_path);
  return {};
}

std::error_code FakeFileSystem::AppendText(OpenFile& file, std::string_view text) {
  std::lock_guard lock(mutex_);
  const NodePtr node = FileOf(file);
  if (std::error_code ec = Step(Op::kWrite, PathOf(node.get()))) return ec;
  node->contents.append(text);
  return {};
}

std::error_code FakeFileSystem::OpenToAppend(const Folder& folder, std::string_view name,
                                             OpenFile* file) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kOpen, PathIn(parent.get(), name))) return ec;
  const NodePtr node = Child(parent, name);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind != EntryKind::kFile || !node->link_target.empty()) {
    return Errc(std::errc::invalid_argument);
  }
  for (std::intptr_t handle : held_) {
    if (open_.at(handle) == node) return Errc(std::errc::device_or_resource_busy);
  }
  open_[next_handle_] = node;
  held_.insert(next_handle_);
  *file = MakeHandle<OpenFileTag>(next_handle_++);
  return {};
}

std::error_code FakeFileSystem::ReadText(const Folder& folder, std::string_view name,
                                         std::string* text) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kRead, PathIn(parent.get(), name))) return ec;
  const NodePtr node = Child(parent, name);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind != EntryKind::kFile || !node->link_target.empty()) {
    return Errc(std::errc::invalid_argument);
  }
  *text = node->contents;
  return {};
}

std::error_code FakeFileSystem::RemoveEmptyFolder(const Folder& folder, std::string_view name) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kRemove, PathIn(parent.get(), name))) return ec;
  const NodePtr node = Child(parent, name);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind != EntryKind::kFolder) return Errc(std::errc::not_a_directory);
  if (!node->children.empty()) return Errc(std::errc::directory_not_empty);
  Detach(node);
  return {};
}

std::error_code FakeFileSystem::RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                                OpenFile& temp) {
  std::lock_guard lock(mutex_);
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kRemove, PathIn(parent.get(), temp_name))) return ec;
  const NodePtr node = TemporaryOf(parent, temp_name, temp);
  if (node == nullptr || node->parent != parent.get() || node->name != temp_name) {
    return Errc(std::errc::no_such_file_or_directory);
  }
  Detach(node);
  return {};
}

std::error_code FakeFileSystem::FlushFolder(const Folder& folder) {
  std::lock_guard lock(mutex_);
  const std::string path = PathOf(FolderOf(folder).get());
  if (std::error_code ec = Step(Op::kFlushFolder, path)) return ec;
  journal_.push_back("flush-folder " + path);
  return {};
}

std::error_code FakeFileSystem::RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                                bool* removed) {
  std::lock_guard lock(mutex_);
  *removed = false;
  const NodePtr parent = FolderOf(folder);
  if (std::error_code ec = Step(Op::kRemove, PathIn(parent.get(), name))) return ec;
  const NodePtr node = Child(parent, name);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind != EntryKind::kFile) return Errc(std::errc::invalid_argument);
  if (std::error_code ec = Held(PathIn(parent.get(), name))) return ec;
  for (std::intptr_t handle : held_) {
    if (open_.at(handle) == node) return {};
  }
  Detach(node);
  *removed = true;
  return {};
}

}  // namespace tandrel::testing
