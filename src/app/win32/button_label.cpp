#include "app/win32/button_label.h"

#include <uxtheme.h>
#include <vssym32.h>

namespace tandrel {

LRESULT DrawButtonLabel(const NMCUSTOMDRAW& draw, COLORREF text_colour) {
  if (draw.dwDrawStage != CDDS_PREPAINT) return CDRF_DODEFAULT;
  const HWND button = draw.hdr.hwndFrom;
  const HDC dc = draw.hdc;
  const bool pushed = (draw.uItemState & CDIS_SELECTED) != 0;
  RECT content = draw.rc;
  if (const HTHEME theme = ::GetWindowTheme(button)) {
    const int state = pushed ? PBS_PRESSED : (draw.uItemState & CDIS_HOT) ? PBS_HOT : PBS_NORMAL;
    ::GetThemeBackgroundContentRect(theme, dc, BP_PUSHBUTTON, state, &draw.rc, &content);
  } else {
    ::InflateRect(&content, -2, -2);  // inside the frame drawn by DrawFrameControl
    if (pushed) ::OffsetRect(&content, 1, 1);
  }

  BUTTON_IMAGELIST picture{};
  ::SendMessageW(button, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&picture));
  int picture_width = 0, picture_height = 0;
  if (picture.himl != nullptr)
    ::ImageList_GetIconSize(picture.himl, &picture_width, &picture_height);

  wchar_t caption[128] = {};
  ::GetWindowTextW(button, caption, 128);
  const auto font = reinterpret_cast<HFONT>(::SendMessageW(button, WM_GETFONT, 0, 0));
  const HGDIOBJ old_font = ::SelectObject(dc, font);
  constexpr UINT kFormat = DT_CENTER | DT_WORDBREAK;
  RECT text = content;
  ::DrawTextW(dc, caption, -1, &text, kFormat | DT_CALCRECT);
  const int text_height = text.bottom - text.top;

  // The picture above the caption, the two centred together.
  const int top = content.top + (content.bottom - content.top - picture_height - text_height) / 2;
  if (picture.himl != nullptr) {
    const int left = content.left + (content.right - content.left - picture_width) / 2;
    ::ImageList_Draw(picture.himl, 0, dc, left, top, ILD_NORMAL);
  }
  text = {content.left, top + picture_height, content.right, top + picture_height + text_height};
  const int old_mode = ::SetBkMode(dc, TRANSPARENT);
  const COLORREF old_colour = ::SetTextColor(
      dc, (draw.uItemState & CDIS_DISABLED) ? ::GetSysColor(COLOR_GRAYTEXT) : text_colour);
  ::DrawTextW(dc, caption, -1, &text, kFormat);
  ::SetTextColor(dc, old_colour);
  ::SetBkMode(dc, old_mode);
  ::SelectObject(dc, old_font);

  const auto ui_state = ::SendMessageW(button, WM_QUERYUISTATE, 0, 0);
  if ((draw.uItemState & CDIS_FOCUS) && !(ui_state & UISF_HIDEFOCUS)) {
    RECT focus = draw.rc;
    ::InflateRect(&focus, -3, -3);
    ::DrawFocusRect(dc, &focus);
  }
  return CDRF_SKIPDEFAULT;
}

}  // namespace tandrel
