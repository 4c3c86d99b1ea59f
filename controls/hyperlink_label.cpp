#include "controls/hyperlink_label.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>

#include "os/text.h"

namespace purgato {

namespace {

constexpr std::size_t kLaunchBufferSize = 260;
constexpr UINT kHoverPeriodMs = 100;
constexpr UINT_PTR kToolId = 1;

bool isMouseMessage(UINT message) { return message >= WM_MOUSEFIRST && message <= WM_MBUTTONDBLCLK; }

}  // namespace

HyperlinkLabel::~HyperlinkLabel() {
  if (underlineFont != nullptr) DeleteObject(underlineFont);
  destroyToolTip();
  if (normalFont != nullptr) DeleteObject(normalFont);
  url.clear();
}

bool HyperlinkLabel::launchUrl(const char* url) {
  char buffer[kLaunchBufferSize];
  // Opening a cut-off URL would open some other page than the one shown.
  if (!copyText(buffer, sizeof buffer, url)) return false;
  const HINSTANCE result = ShellExecuteA(nullptr, "open", buffer, nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void HyperlinkLabel::preSubclass() {
  const HWND window = hwnd();
  SetWindowLongA(window, GWL_STYLE, GetWindowLongA(window, GWL_STYLE) | SS_NOTIFY);

  const int length = GetWindowTextLengthA(window);
  if (length > 0) {
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(window, &text[0], length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    url = text;
  }

  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(window, WM_GETFONT, 0, 0));
  if (font == nullptr) font = GetStockObject(DEFAULT_GUI_FONT);
  if (font == nullptr) font = GetStockObject(ANSI_VAR_FONT);
  LOGFONTA logFont;
  if (font != nullptr && GetObjectA(font, sizeof logFont, &logFont) == sizeof logFont) {
    normalFont = CreateFontIndirectA(&logFont);
    logFont.lfUnderline = 1;
    underlineFont = CreateFontIndirectA(&logFont);
  }

  RECT client;
  GetClientRect(window, &client);
  toolTip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, window, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (toolTip != nullptr) {
    TOOLINFOA tool;
    std::memset(&tool, 0, sizeof tool);
    // comctl32 before version 6 refuses the larger structure sizes.
    tool.cbSize = TTTOOLINFOA_V1_SIZE;
    tool.hwnd = window;
    tool.uId = kToolId;
    tool.rect = client;
    tool.lpszText = const_cast<char*>(url.c_str());
    SendMessageA(toolTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

bool HyperlinkLabel::onMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  // No message loop offers the tooltip its mouse messages (neither the
  // dialog's nor the scan's pump), so the label hands them on itself.
  if (isMouseMessage(message)) relayToToolTip(message, wParam, lParam);

  switch (message) {
    case kReflectBase + WM_CTLCOLORSTATIC: {
      const HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, hovering ? hoverColour : visited ? visitedColour : linkColour);
      SetBkMode(dc, TRANSPARENT);
      result = reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
      return true;
    }
    case kReflectBase + WM_COMMAND:
      if (HIWORD(wParam) != STN_CLICKED) return false;
      click();
      result = TRUE;
      return true;
    case WM_ERASEBKGND: {
      RECT client;
      GetClientRect(hwnd(), &client);
      FillRect(reinterpret_cast<HDC>(wParam), &client, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
      result = TRUE;
      return true;
    }
    case WM_MOUSEMOVE:
      startHover();
      return false;
    case WM_TIMER:
      checkHover();
      return false;
    case WM_SETCURSOR:
      // No cursor of our own: the pointer keeps its shape.
      result = FALSE;
      return true;
    case WM_DESTROY:
      KillTimer(hwnd(), hoverTimerId);
      destroyToolTip();
      return false;
    default:
      return false;
  }
}

void HyperlinkLabel::relayToToolTip(UINT message, WPARAM wParam, LPARAM lParam) {
  if (toolTip == nullptr) return;
  MSG msg;
  msg.hwnd = hwnd();
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = static_cast<DWORD>(GetMessageTime());
  const DWORD pos = GetMessagePos();
  msg.pt.x = static_cast<short>(LOWORD(pos));
  msg.pt.y = static_cast<short>(HIWORD(pos));
  SendMessageA(toolTip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

void HyperlinkLabel::startHover() {
  if (hovering) return;
  hovering = true;
  SendMessageA(hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(underlineFont), TRUE);
  InvalidateRect(hwnd(), nullptr, TRUE);
  SetTimer(hwnd(), hoverTimerId, kHoverPeriodMs, nullptr);
}

void HyperlinkLabel::checkHover() {
  const DWORD pos = GetMessagePos();
  POINT point = {static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
  ScreenToClient(hwnd(), &point);
  RECT client;
  GetClientRect(hwnd(), &client);
  if (PtInRect(&client, point)) return;
  hovering = false;
  KillTimer(hwnd(), hoverTimerId);
  SendMessageA(hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(normalFont), TRUE);
  InvalidateRect(hwnd(), nullptr, TRUE);
}

void HyperlinkLabel::click() {
  // The underline and the timer stay; the next move starts hovering again.
  hovering = false;
  visited = launchUrl(url.c_str());
  if (visited) {
    visited = true;
    if (IsWindow(hwnd())) InvalidateRect(hwnd(), nullptr, TRUE);
  } else {
    MessageBoxA(hwnd(), "Unable to launch Internet Browser", "GUI", MB_OK);
  }
}

void HyperlinkLabel::destroyToolTip() {
  if (toolTip == nullptr) return;
  // The tooltip is owned by the dialog the label is on, which may have
  // destroyed it already.
  if (IsWindow(toolTip)) DestroyWindow(toolTip);
  toolTip = nullptr;
}

}  // namespace purgato
