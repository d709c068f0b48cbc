#include "support/fake_file_system.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace tandrel::testing {
namespace {

std::error_code Errc(std::errc e) { return std::make_error_code(e); }

}  // namespace

FakeFileSystem::FakeFileSystem() {
  // The root of the tree: "" stands for the path made of a lone separator.
  nodes_[""].kind = EntryKind::kFolder;
}

std::string FakeFileSystem::Key(const std::string& path) {
  std::string key = path;
  while (!key.empty() && key.back() == kSeparator) key.pop_back();
  return key;
}

std::string FakeFileSystem::Parent(const std::string& key) {
  const size_t cut = key.rfind(kSeparator);
  return cut == std::string::npos ? std::string() : key.substr(0, cut);
}

std::string FakeFileSystem::Name(const std::string& key) {
  const size_t cut = key.rfind(kSeparator);
  return cut == std::string::npos ? key : key.substr(cut + 1);
}

FakeFileSystem::Node& FakeFileSystem::Make(const std::string& path, EntryKind kind) {
  const std::string key = Key(path);
  auto it = nodes_.find(key);
  if (it != nodes_.end()) {
    if (kind != EntryKind::kFolder || it->second.kind != EntryKind::kFolder) {
      throw std::logic_error("fake file system: already exists: " + path);
    }
    return it->second;
  }
  if (!key.empty()) {
    const std::string parent = Parent(key);
    if (parent != key) Make(parent, EntryKind::kFolder);
    nodes_[parent].children.push_back(Name(key));
  }
  Node& node = nodes_[key];
  node.kind = kind;
  return node;
}

const FakeFileSystem::Node* FakeFileSystem::Find(const std::string& path) const {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

FakeFileSystem::Node* FakeFileSystem::Find(const std::string& path) {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

const FakeFileSystem::Node* FakeFileSystem::Resolve(const std::string& path) const {
  const Node* node = Find(path);
  for (int depth = 0; node != nullptr && !node->link_target.empty(); ++depth) {
    if (depth == 8) return nullptr;
    node = Find(node->link_target);
  }
  return node;
}

void FakeFileSystem::AddFolder(const std::string& path, bool hidden) {
  Make(path, EntryKind::kFolder).hidden = hidden;
}

void FakeFileSystem::AddFile(const std::string& path, const std::string& contents, FileTime time,
                             bool hidden, std::uint32_t permissions) {
  Node& node = Make(path, EntryKind::kFile);
  node.contents = contents;
  node.time = time;
  node.hidden = hidden;
  node.permissions = permissions;
}

void FakeFileSystem::AddLink(const std::string& path, const std::string& target) {
  Make(path, EntryKind::kFile).link_target = Key(target);
}

void FakeFileSystem::SetTimeless(const std::string& path) { Find(path)->timeless = true; }

bool FakeFileSystem::Exists(const std::string& path) const { return Find(path) != nullptr; }

std::string FakeFileSystem::Contents(const std::string& path) const {
  const Node* node = Resolve(path);
  return node == nullptr ? std::string() : node->contents;
}

FileTime FakeFileSystem::TimeOf(const std::string& path) const {
  const Node* node = Find(path);
  return node == nullptr ? 0 : node->time;
}

std::uint32_t FakeFileSystem::PermissionsOf(const std::string& path) const {
  const Node* node = Find(path);
  return node == nullptr ? 0 : node->permissions;
}

bool FakeFileSystem::IsLink(const std::string& path) const {
  const Node* node = Find(path);
  return node != nullptr && !node->link_target.empty();
}

std::vector<std::string> FakeFileSystem::AllPaths() const {
  std::vector<std::string> paths;
  for (const auto& [key, node] : nodes_) {
    if (!key.empty()) paths.push_back(key);
  }
  return paths;
}

void FakeFileSystem::FailNth(Op op, int nth, std::error_code error) {
  faults_.push_back({op, nth, Calls(op), {}, error});
}

void FakeFileSystem::FailPath(Op op, const std::string& path, std::error_code error) {
  faults_.push_back({op, 0, 0, Key(path), error});
}

void FakeFileSystem::ClearFaults() { faults_.clear(); }

int FakeFileSystem::Calls(Op op) const {
  auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

std::error_code FakeFileSystem::Step(Op op, const std::string& path) {
  const int call = ++calls_[op];
  const std::string key = Key(path);
  for (const Fault& fault : faults_) {
    if (fault.op != op) continue;
    if (fault.nth > 0 && call - fault.calls_before == fault.nth) return fault.error;
    if (fault.nth == 0 && fault.path == key) return fault.error;
  }
  return {};
}

void FakeFileSystem::Unlink(const std::string& key) {
  nodes_.erase(key);
  auto& siblings = nodes_[Parent(key)].children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), Name(key)));
}

std::error_code FakeFileSystem::ListFolder(const std::string& folder,
                                           std::vector<DirEntry>* entries) {
  entries->clear();
  if (std::error_code ec = Step(Op::kList, folder)) return ec;
  const Node* node = Find(folder);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind != EntryKind::kFolder) return Errc(std::errc::not_a_directory);
  const std::string prefix = Key(folder) + kSeparator;
  for (const std::string& name : node->children) {
    const std::string child_path = prefix + name;
    const Node& child = nodes_.at(child_path);
    DirEntry& entry = entries->emplace_back();
    entry.name = name;
    // As on POSIX, a leading dot hides a name.
    entry.hidden = child.hidden || (kSeparator == '/' && name[0] == '.');
    entry.kind = child.kind;
    if (!child.link_target.empty()) {
      const Node* target = Resolve(child_path);
      entry.kind = target != nullptr && target->kind == EntryKind::kFolder ? EntryKind::kFolderLink
                                                                           : EntryKind::kFile;
    }
  }
  return {};
}

std::error_code FakeFileSystem::Stat(const std::string& path, FollowLinks follow, FileInfo* info) {
  if (std::error_code ec = Step(Op::kStat, path)) return ec;
  const Node* node = Find(path);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  const bool is_link = !node->link_target.empty();
  if (is_link && follow == FollowLinks::kYes) {
    node = Resolve(path);
    if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  }
  if (node->timeless) return Errc(std::errc::permission_denied);
  info->is_link = is_link && follow == FollowLinks::kNo;
  info->kind = info->is_link ? EntryKind::kFile : node->kind;
  info->write_time = node->time;
  info->permissions = node->permissions;
  return {};
}

std::error_code FakeFileSystem::CopyContents(const std::string& from, const std::string& to) {
  if (std::error_code ec = Step(Op::kOpen, from)) return ec;
  const Node* source = Resolve(from);
  if (source == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (source->kind != EntryKind::kFile) return Errc(std::errc::invalid_argument);
  const std::string contents = source->contents;
  const std::uint32_t permissions = source->permissions;

  if (std::error_code ec = Step(Op::kCreate, to)) return ec;
  if (Find(to) != nullptr) return Errc(std::errc::file_exists);
  const Node* parent = Find(Parent(Key(to)));
  if (parent == nullptr || parent->kind != EntryKind::kFolder) {
    return Errc(std::errc::no_such_file_or_directory);
  }
  Node& target = Make(to, EntryKind::kFile);
  target.time = clock_;
  target.permissions = 0600;

  for (size_t done = 0; done < contents.size() || done == 0; done += block_size_) {
    if (std::error_code ec = Step(Op::kRead, from)) return ec;
    if (std::error_code ec = Step(Op::kWrite, to)) {
      // The part of the block that fitted before the disk filled up.
      Find(to)->contents += contents.substr(done, block_size_ / 2);
      return ec;
    }
    Find(to)->contents += contents.substr(done, block_size_);
    if (contents.empty()) break;
  }
  Find(to)->permissions = permissions;
  return Step(Op::kClose, to);
}

std::error_code FakeFileSystem::SetWriteTime(const std::string& path, FileTime time) {
  if (std::error_code ec = Step(Op::kSetTime, path)) return ec;
  Node* node = Find(path);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  node->time = time;
  return {};
}

std::error_code FakeFileSystem::Rename(const std::string& from, const std::string& to,
                                       bool replace) {
  if (std::error_code ec = Step(Op::kRename, to)) return ec;
  const std::string from_key = Key(from);
  const std::string to_key = Key(to);
  auto source = nodes_.find(from_key);
  if (source == nodes_.end()) return Errc(std::errc::no_such_file_or_directory);
  if (from_key == to_key) return {};
  if (const Node* existing = Find(to_key)) {
    if (!replace) return Errc(std::errc::file_exists);
    if (existing->kind == EntryKind::kFolder && existing->link_target.empty()) {
      return Errc(std::errc::is_a_directory);
    }
  }
  const Node* parent = Find(Parent(to_key));
  if (parent == nullptr || parent->kind != EntryKind::kFolder) {
    return Errc(std::errc::no_such_file_or_directory);
  }
  Node moved = std::move(source->second);
  Unlink(from_key);
  if (Find(to_key) != nullptr) {
    nodes_[to_key] = std::move(moved);  // replaced in place: keeps its listing position
  } else {
    Make(to_key, moved.kind) = std::move(moved);
  }
  return {};
}

std::error_code FakeFileSystem::Remove(const std::string& path) {
  if (std::error_code ec = Step(Op::kRemove, path)) return ec;
  const Node* node = Find(path);
  if (node == nullptr) return Errc(std::errc::no_such_file_or_directory);
  if (node->kind == EntryKind::kFolder && node->link_target.empty()) {
    return Errc(std::errc::is_a_directory);
  }
  Unlink(Key(path));
  return {};
}

}  // namespace tandrel::testing
