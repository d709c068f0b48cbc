// The names Windows does not allow for a file: no program there can open
// or delete such a file by its path, and a share that a Windows computer or
// Samba serves refuses the name, stores another, or shows it under another.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tandrel {

// What Windows does not allow in `name`, as the start of a sentence
// ("Windows does not allow the character : in a file name"), or nothing
// when Windows keeps the name as it is: the characters < > : " / \ | ? *
// and control characters, a name ending in a dot or a blank, and the
// names of devices (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, also
// with an extension, in any letter case).
std::optional<std::string> WindowsRefuses(std::string_view name);

// Whether a share may be trusted to keep `name` as given without a look:
// letters, digits, '-', '_' and inner dots only, and not a device's name.
// Anything else (blanks, '%', non-ASCII letters a server may recompose) is
// looked up once it is put in place.
bool PlainName(std::string_view name);

}  // namespace tandrel
