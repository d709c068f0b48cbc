// Texts of the main window and how the window shows the program's byte
// strings.
#pragma once

#include <QString>
#include <string>

namespace tandrel {

inline constexpr const char* kFormCaption = "Tandrel";
inline constexpr const char* kListToolTip =
    "Double-click item to remove it. Move bar to right and out of window to reveal full names.";

// Paths are kept as the file system's bytes; what is shown is their UTF-8
// reading, with invalid sequences replaced.
inline QString ShownText(const std::string& bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace tandrel
