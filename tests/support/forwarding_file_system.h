// A file system that passes every call on to another one, for tests that
// hold or disturb a run at a chosen step. The handles are the inner file
// system's own, so they pass through untouched.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace tandrel::testing {

class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(std::shared_ptr<FileSystem> inner) : inner_(std::move(inner)) {}

  // Called before each call is passed on, with the primitive's name and
  // the name it is given (empty for none).
  std::function<void(std::string_view call, std::string_view name)> before;

  std::error_code OpenRoot(const std::string& path, Folder* folder) override {
    Before("OpenRoot", path);
    return inner_->OpenRoot(path, folder);
  }
  std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) override {
    Before("Stat", path);
    return inner_->Stat(path, follow, info);
  }
  std::error_code OpenFolder(const Folder& parent, std::string_view name, Folder* folder) override {
    Before("OpenFolder", name);
    return inner_->OpenFolder(parent, name, folder);
  }
  std::error_code OpenBeneath(const Folder& root, std::string_view relative,
                              Folder* folder) override {
    Before("OpenBeneath", relative);
    return inner_->OpenBeneath(root, relative, folder);
  }
  std::error_code List(const Folder& folder, std::vector<DirEntry>* entries) override {
    Before("List", {});
    return inner_->List(folder, entries);
  }
  std::error_code StatAt(const Folder& folder, std::string_view name, FollowLinks follow,
                         FileInfo* info) override {
    Before("StatAt", name);
    return inner_->StatAt(folder, name, follow, info);
  }
  void WriteTimesIn(const Folder& folder, const std::vector<std::string_view>& names,
                    std::vector<std::optional<FileTime>>* times) override {
    Before("WriteTimesIn", {});
    inner_->WriteTimesIn(folder, names, times);
  }
  std::error_code CreateTemporary(const Folder& folder, std::string_view name,
                                  OpenFile* file) override {
    Before("CreateTemporary", name);
    return inner_->CreateTemporary(folder, name, file);
  }
  std::error_code CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                           FileInfo* copied, FollowLinks follow = FollowLinks::kYes,
                           const CopyWatch* watch = nullptr) override {
    Before("CopyInto", name);
    return inner_->CopyInto(from, name, to, copied, follow, watch);
  }
  std::error_code ReadLink(const Folder& folder, std::string_view name,
                           std::string* target) override {
    Before("ReadLink", name);
    return inner_->ReadLink(folder, name, target);
  }
  std::error_code FlushFiles(std::span<OpenFile* const> files, size_t* failed) override {
    Before("FlushFiles", {});
    return inner_->FlushFiles(files, failed);
  }
  std::error_code CloseTemporary(OpenFile& temp, bool keep_held) override {
    Before("CloseTemporary", {});
    return inner_->CloseTemporary(temp, keep_held);
  }
  std::error_code SetTimesAt(const Folder& folder, std::string_view name,
                             const FileInfo& times) override {
    Before("SetTimesAt", name);
    return inner_->SetTimesAt(folder, name, times);
  }
  std::error_code Describe(const Folder& folder, Storage* storage) override {
    Before("Describe", {});
    return inner_->Describe(folder, storage);
  }
  std::error_code RenameTemporary(const Folder& folder, std::string_view temp_name, OpenFile& temp,
                                  std::string_view to, bool replace) override {
    Before("RenameTemporary", to);
    return inner_->RenameTemporary(folder, temp_name, temp, to, replace);
  }
  std::error_code RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                  OpenFile& temp) override {
    Before("RemoveTemporary", temp_name);
    return inner_->RemoveTemporary(folder, temp_name, temp);
  }
  std::error_code FlushFolder(const Folder& folder) override {
    Before("FlushFolder", {});
    return inner_->FlushFolder(folder);
  }
  std::error_code RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                  bool* removed) override {
    Before("RemoveIfNotHeld", name);
    return inner_->RemoveIfNotHeld(folder, name, removed);
  }

 protected:
  void Close(std::intptr_t) override {}  // never called: no handle is this one's
  std::error_code FlushFile(OpenFile&) override { return {}; }

 private:
  void Before(std::string_view call, std::string_view name) {
    if (before) before(call, name);
  }
  std::shared_ptr<FileSystem> inner_;
};

}  // namespace tandrel::testing
