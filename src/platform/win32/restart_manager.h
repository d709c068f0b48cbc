// Who holds a file open, as the Restart Manager of Windows tells it. Only
// code in platform/win32 includes this header.
#pragma once

#include <string>

namespace tandrel::win32 {

// The executable's file name (such as "WINWORD.EXE") of a process other than
// this one that has the file at `path` (a whole path, with or without the
// "\\?\" prefix) open, or the name the Restart Manager gives the program
// where the process cannot be looked at; empty when the Restart Manager is
// missing, names no process, or tells nothing (Wine's is a stub).
std::string ProgramHoldingPath(std::wstring path);

}  // namespace tandrel::win32
