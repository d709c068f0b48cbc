// A file that another program holds open (an editor, an office suite, a
// virus scan, the indexer) cannot be renamed, replaced or removed on
// Windows, nor on a share that a Windows computer serves, for as long as it
// is held: usually a moment, sometimes until that program closes it.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_system.h"

namespace tandrel {

// Whether `ec` may mean that another program holds the file: always for
// std::errc::device_or_resource_busy; on a share also a refusal, which is
// all some servers say of a file a Windows computer holds.
bool MayBeHeld(const std::error_code& ec, const Storage& storage);

// Makes `attempt` again while its answer may mean that the file is held, a
// few times over about two seconds (as trusted copy tools wait), and not
// after `stop` is requested. The last answer.
std::error_code RetryWhileHeld(const std::function<std::error_code()>& attempt,
                               const Storage& storage, const std::stop_token& stop);

// Why the file at `path` was not `what` (e.g. "replaced") when `ec`, the
// answer after the retries, may mean that it is held: names the program
// that holds it where the system tells (`program`, else empty), and says
// what to do. Empty when `ec` means something else.
std::string HeldReason(const std::error_code& ec, const Storage& storage, std::string_view path,
                       std::string_view program, std::string_view what);

}  // namespace tandrel
