// Text and paths at the edge of the Windows API: the core holds UTF-8, the
// API takes UTF-16. Only code in platform/win32 includes this header.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace tandrel::win32 {

// UTF-16 to UTF-8. A lone surrogate, which NTFS allows in a name, is kept
// in the three-byte form that Utf8ToWide reads back, so that every name the
// file system lists can be found again by the text it was listed as.
std::string WideToUtf8(std::wstring_view wide);

// UTF-8 (with lone surrogates as WideToUtf8 writes them) to UTF-16. A byte
// that starts no valid sequence becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);

// The UTF-16 form of `path` followed by `suffix`, ready for a file API call:
// a path of 248 characters or more (the limit of CreateDirectoryW, a little
// below MAX_PATH) is made absolute and given the "\\?\" prefix, or "\\?\UNC\"
// for a network path, so that it is not cut off at MAX_PATH.
std::wstring ApiPath(std::string_view path, std::wstring_view suffix = {});

// A Win32 error code (GetLastError) as an error code whose message is the
// system's text and which compares equal to the matching std::errc.
std::error_code Win32Error(unsigned long code);
// Win32Error(GetLastError()).
std::error_code LastError();

}  // namespace tandrel::win32
