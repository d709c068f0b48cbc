// Process-level services that the front ends need.
#pragma once

#include <cstdio>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

// The file system of the machine this program runs on.
std::unique_ptr<FileSystem> MakeRealFileSystem();

// True when the standard error stream is a terminal (a person is watching).
bool StandardErrorIsTerminal();
// This computer's name, as the system tells it ("" when it does not).
std::string ComputerName();
bool StandardOutputIsTerminal();

// Makes standard output carry the bytes written to it unchanged (Windows
// would otherwise write each newline as a carriage return and a newline).
void SetStandardOutputBinary();

// Writes `text` (UTF-8) to `stream`, stdout or stderr. A Windows console is
// written through its wide call, so that every name shows as it is, whatever
// its code page (in 437 "Café" reads "Caf├⌐"); a file, a pipe or a terminal
// elsewhere gets the bytes as they are. False, with errno set, when the write
// failed.
bool WriteText(std::FILE* stream, std::string_view text);

// Where standard input, output or error was closed by whoever started this
// process, puts /dev/null there, opened the other way round (so that a write
// to a closed output still fails), so that no file this process opens takes
// their place and receives what was meant for them. Called first at start.
void KeepStandardStreamsOpen();

// Raises this process's limit of open files as far as the system lets it
// (the soft limit to the hard one). Called once at start.
void RaiseOpenFileLimit();

// How many files this process may have open at once: what the walk and the
// sync size the handles they keep and the copies they hold open from.
int OpenFileLimit();

// Turns an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl-C, Ctrl-Break and
// closing the console on Windows) into a request to `stop`, so that the work
// under way ends at a point where everything is consistent; a second one
// ends the process at once. Called at start, before any thread is made.
void StopOnInterrupt(std::stop_source stop);

// The signal number of the interrupt that asked to stop, or 0.
int InterruptSignal();

// The arguments after the program's name, in the encoding of this
// platform's paths (UTF-8 on Windows, whatever the console's code page).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace tandrel
