// The occasional opening of the home page at start-up.
#pragma once

#include <functional>
#include <string>

#include "platform/window.h"

namespace tandrel {

// A number r with 0 <= r < 1 from a generator seeded with the time of day
// (seconds since midnight, with their fraction).
double DrawSeededFromTimeOfDay();

// Draws once; at one draw in a hundred (n = whole part of r * 100 + 1 is 7)
// opens `address` with the desktop's URL opener, without waiting for it.
// With an empty address the draw is made and nothing is started.
void MaybeOpenHomePage(Shell& shell, const std::string& address,
                       const std::function<double()>& draw = DrawSeededFromTimeOfDay);

}  // namespace tandrel
