#include "folders/slot_actions.h"

#include "folders/folder_path.h"

namespace tandrel {

void ChooseFolder(FolderSlot& slot, Shell& shell) {
  if (slot.Count() > 0) {
    shell.ShowMessage(kFolderAlreadySelected);
    return;
  }
  const std::string chosen = shell.BrowseForFolder(kBrowseTitle);
  if (chosen.empty()) return;
  shell.SetWindowPointer(Pointer::kBusy);
  slot.Append(NormaliseFolderPath(chosen));
  shell.SetWindowPointer(Pointer::kDefault);
}

void RemoveFolder(FolderSlot& slot) { slot.Clear(); }

void RemoveSelectedFolder(FolderSlot& slot) {
  const std::optional<int> selected = slot.Selected();
  if (selected && *selected >= 1 && *selected <= slot.Count()) slot.Remove(*selected);
}

}  // namespace tandrel
