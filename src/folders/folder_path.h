// The text a folder slot holds for a chosen folder.
#pragma once

#include <string>
#include <string_view>

#include "platform/separator.h"

namespace tandrel {

// Appends one separator to `path`, then replaces each pair of adjacent
// separators by one in a single left-to-right pass (a run of three becomes
// two). With the backslash, a leading pair is kept: it starts a network path
// (\\server\share\), and collapsing it would name another folder.
std::string NormaliseFolderPath(std::string_view path, char separator = kSeparator);

}  // namespace tandrel
