// Process-level services that the front ends need.
#pragma once

#include <memory>

#include "platform/file_system.h"

namespace tandrel {

// The file system of the machine this program runs on.
std::unique_ptr<FileSystem> MakeRealFileSystem();

// True when the standard error stream is a terminal (a person is watching).
bool StandardErrorIsTerminal();

}  // namespace tandrel
