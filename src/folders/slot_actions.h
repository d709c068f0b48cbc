// What the four folder buttons and the double-click on a folder list do,
// after the push-button pattern has let the press through.
#pragma once

#include "platform/window.h"

namespace tandrel {

inline constexpr const char* kFolderAlreadySelected = "You already have a folder selected.";
inline constexpr const char* kBrowseTitle = "Please select folder";

// Choose Folder 1 / Choose Folder 2: refuses a filled slot with a message,
// otherwise asks the folder browser and stores the normalised path, with the
// busy pointer around adding the entry.
void ChooseFolder(FolderSlot& slot, Shell& shell);

// Remove Folder 1 / Remove Folder 2: empties the slot, silently.
void RemoveFolder(FolderSlot& slot);

// Double-click on a folder list: removes the selected entry; silent when
// there is none.
void RemoveSelectedFolder(FolderSlot& slot);

}  // namespace tandrel
