#include "sync/compared_trees.h"

#include "platform/path_text.h"

namespace tandrel {

std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

ComparedTrees::ComparedTrees(FileSystem& fs, const CompareRequest& compared) : fs_(fs) {
  trees_[0].text = compared.folder1;
  trees_[1].text = compared.folder2;
  for (Tree& tree : trees_) {
    EndWithSeparator(&tree.text);
    auto folder = std::make_shared<Folder>();
    tree.error = fs_.OpenRoot(tree.text, folder.get());
    if (!tree.error) (void)fs_.Describe(*folder, &tree.storage);
    FileInfo info;
    if (!tree.error && !fs_.Stat(tree.text, FollowLinks::kYes, &info)) {
      tree.id = std::to_string(info.stamp.device) + ":" + std::to_string(info.stamp.file_id);
    }
    tree.folder = std::move(folder);
  }
}

ComparedTrees::Tree* ComparedTrees::TreeOf(std::string_view path) {
  Tree* best = nullptr;
  for (Tree& tree : trees_) {
    if (path.starts_with(tree.text) && (best == nullptr || tree.text.size() > best->text.size())) {
      best = &tree;
    }
  }
  return best;
}

std::error_code ComparedTrees::OpenBelow(std::string_view folder_text,
                                         std::shared_ptr<const Folder>* folder) {
  const Tree* tree = TreeOf(folder_text);
  if (tree == nullptr) return std::make_error_code(std::errc::invalid_argument);
  return OpenBelow(*tree, folder_text.substr(tree->text.size()), folder);
}

std::error_code ComparedTrees::OpenBelow(const Tree& tree, std::string_view relative,
                                         std::shared_ptr<const Folder>* folder) {
  if (tree.error) return tree.error;
  if (relative.empty()) {
    *folder = tree.folder;
    return {};
  }
  auto opened = std::make_shared<Folder>();
  const std::error_code ec = fs_.OpenBeneath(*tree.folder, relative, opened.get());
  *folder = std::move(opened);
  return ec;
}

Storage ComparedTrees::StorageOf(std::string_view folder_text, const Folder& folder) {
  {
    std::lock_guard lock(mutex_);
    if (auto found = storages_.find(std::string(folder_text)); found != storages_.end()) {
      return found->second;
    }
  }
  Storage storage;
  if (const Tree* tree = TreeOf(folder_text); tree != nullptr && tree->text == folder_text) {
    storage = tree->storage;
  } else {
    (void)fs_.Describe(folder, &storage);
  }
  std::lock_guard lock(mutex_);
  storages_.emplace(folder_text, storage);
  return storage;
}

std::string ComparedTrees::KeyOf(const std::string& target) {
  const Tree* tree = TreeOf(target);
  return tree != nullptr && tree->storage.ignores_case ? FoldCase(target) : target;
}

std::string ComparedTrees::PathBelow(const Tree& tree, std::string_view path) {
  return WithSlashes(path.substr(tree.text.size()));
}

}  // namespace tandrel
