// How the system's reason for a failure is put to the user.
#pragma once

#include <string>
#include <system_error>

namespace tandrel {

// The system's reason as a sentence: one full stop, whatever the platform's
// text ends with.
std::string Sentence(const std::error_code& ec);

}  // namespace tandrel
