// Making the things on a real Windows disk that the portable test helpers
// cannot: attributes, junctions, paths longer than MAX_PATH.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace tandrel::testing {

// Adds attribute bits (FILE_ATTRIBUTE_HIDDEN, ...) to a file or folder.
bool AddAttributes(const std::string& path, DWORD attributes);
// Clears the read-only bit, so that the folder's owner can remove it.
void ClearReadOnly(const std::string& path);

// Makes a junction at `link` (a new folder) that points to the folder
// `target`, an absolute path. False when the file system refuses.
bool MakeJunction(const std::string& link, const std::string& target);
// A junction, or else a folder symbolic link, from `link` to `target`.
bool MakeFolderLink(const std::string& link, const std::string& target);
// A link to the folder `target` as the host makes one: under Wine a Linux
// symbolic link (made by running ln, since Wine makes none itself), which
// Wine lists as a reparse point; on Windows MakeFolderLink. False when
// neither works.
bool MakeHostFolderLink(const std::string& link, const std::string& target);
// The Linux path of a Windows one under Wine; empty elsewhere.
std::string UnixPathOf(const std::string& path);
// Starts `script` in the host's shell under Wine and returns at once; false
// elsewhere.
bool StartHostShell(const std::string& script);
// Removes what MakeHostFolderLink made. The test folder's own clean-up
// (std::filesystem) was seen to hang on a Linux link left in it under Wine.
void RemoveHostFolderLink(const std::string& link);

// A host folder link for the length of a scope.
class ScopedHostLink {
 public:
  ScopedHostLink(std::string link, const std::string& target)
      : link_(std::move(link)), made_(MakeHostFolderLink(link_, target)) {}
  ScopedHostLink(const ScopedHostLink&) = delete;
  ScopedHostLink& operator=(const ScopedHostLink&) = delete;
  ~ScopedHostLink() {
    if (made_) RemoveHostFolderLink(link_);
  }
  bool made() const { return made_; }

 private:
  std::string link_;
  bool made_;
};

// Folders and files at any length of path.
bool MakeFolder(const std::string& path);
bool WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
// Removes a folder and everything in it, read-only files included.
void RemoveTree(const std::string& path);

// The number of handles this process holds, or -1 when it cannot be told.
long OpenHandleCount();

}  // namespace tandrel::testing
