// windows.h comes first: shellapi.h relies on its types.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/system.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"

namespace tandrel {

std::unique_ptr<FileSystem> MakeRealFileSystem() { return std::make_unique<Win32FileSystem>(); }

namespace {
bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         ::GetFileType(handle) == FILE_TYPE_CHAR && ::GetConsoleMode(handle, &mode);
}
}  // namespace

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return {};
  return win32::WideToUtf8(std::wstring_view(name, size));
}

bool StandardErrorIsTerminal() { return IsConsole(::GetStdHandle(STD_ERROR_HANDLE)); }
bool StandardOutputIsTerminal() { return IsConsole(::GetStdHandle(STD_OUTPUT_HANDLE)); }

bool WriteText(std::FILE* stream, std::string_view text) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  // The C library would hand a console the bytes a few at a time, and the
  // console would read each piece alone in its code page.
  if (!IsConsole(handle)) return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if (std::fflush(stream) != 0) return false;
  const std::wstring wide = win32::Utf8ToWide(text);
  // A console takes some thousands of characters a call at most.
  constexpr size_t kChunk = 8192;
  for (size_t at = 0; at < wide.size();) {
    DWORD size = static_cast<DWORD>(std::min(kChunk, wide.size() - at));
    // A pair of surrogates stays whole.
    if (size > 1 && at + size < wide.size() && wide[at + size - 1] >= 0xD800 &&
        wide[at + size - 1] < 0xDC00) {
      --size;
    }
    DWORD written = 0;
    if (!::WriteConsoleW(handle, wide.data() + at, size, &written, nullptr) || written == 0) {
      errno = EIO;
      return false;
    }
    at += written;
  }
  return true;
}

void SetStandardOutputBinary() {
  std::fflush(stdout);
  ::_setmode(::_fileno(stdout), _O_BINARY);
}

namespace {

std::atomic<int> interrupt_signal = 0;
std::stop_source* interrupt_stop = nullptr;

// Runs on a thread of its own that the system makes for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  // The numbers of the POSIX signals that stand for these events.
  const int signal = event == CTRL_C_EVENT ? 2 : event == CTRL_BREAK_EVENT ? 15 : 1;
  int none = 0;
  if (!interrupt_signal.compare_exchange_strong(none, signal)) std::_Exit(128 + signal);
  interrupt_stop->request_stop();
  return TRUE;
}

}  // namespace

void StopOnInterrupt(std::stop_source stop) {
  static std::stop_source kept;
  kept = std::move(stop);
  interrupt_stop = &kept;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int InterruptSignal() { return interrupt_signal.load(); }

// A closed standard handle is not reused by the next file opened.
void KeepStandardStreamsOpen() {}

// Handles on Windows are limited only by memory.
void RaiseOpenFileLimit() {}

int OpenFileLimit() { return 1 << 24; }

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  // argv holds the arguments in the ANSI code page, which cannot hold every
  // name; the wide command line can.
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    return argc < 2 ? std::vector<std::string>() : std::vector<std::string>(argv + 1, argv + argc);
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(win32::WideToUtf8(wide[i]));
  ::LocalFree(wide);
  return args;
}

}  // namespace tandrel
