// The label of the window's two-state push buttons: the picture above the
// caption, drawn over the frame the button draws itself.
#pragma once

#include <windows.h>

#include <commctrl.h>

namespace tandrel {

// Draws the picture and the caption of a two-state push button over the
// frame that the button has just drawn, with the caption in `text_colour`:
// the button itself always takes the system's button text colour. The
// answer to the button's NM_CUSTOMDRAW.
LRESULT DrawButtonLabel(const NMCUSTOMDRAW& draw, COLORREF text_colour);

}  // namespace tandrel
