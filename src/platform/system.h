// Process-level services that the front ends need.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

// The file system of the machine this program runs on.
std::unique_ptr<FileSystem> MakeRealFileSystem();

// True when the standard error stream is a terminal (a person is watching).
bool StandardErrorIsTerminal();

// Makes standard output carry the bytes written to it unchanged (Windows
// would otherwise write each newline as a carriage return and a newline).
void SetStandardOutputBinary();

// The arguments after the program's name, in the encoding of this
// platform's paths (UTF-8 on Windows, whatever the console's code page).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace tandrel
