// The replacement procedure of the host window. It sees every message the
// player's main window gets and routes the plugin's own through one table.
#include "host/host_queries.h"
#include "host/plugin.h"
#include "tray/tray.h"

namespace {

struct Route {
  UINT message;
  bool (*applies)(WPARAM wParam, LPARAM lParam);
  LRESULT (*action)(HWND window, WPARAM wParam, LPARAM lParam);
  bool passedOn;  // after the action, the host still gets the message
};

bool isSetRating(WPARAM, LPARAM lParam) { return lParam == kSetRating; }

// The player's value is not trusted to index the six icons: anything outside
// 0 to 5 leaves the rating as it was.
LRESULT onSetRating(HWND, WPARAM wParam, LPARAM) {
  if (wParam < kStarLevels) {
    g_state.currentRating = static_cast<int>(wParam);
    updateTrayIcon();
  }
  return 0;
}

const Route kRoutes[] = {
  {WM_USER, isSetRating, onSetRating, true},
};

const Route* findRoute(UINT message, WPARAM wParam, LPARAM lParam) {
  for (const Route& route : kRoutes)
    if (route.message == message && route.applies(wParam, lParam)) return &route;
  return nullptr;
}

LRESULT passOn(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsWindowUnicode(window))
    return CallWindowProcW(g_state.previousWindowProc, window, message, wParam, lParam);
  return CallWindowProcA(g_state.previousWindowProc, window, message, wParam, lParam);
}

}  // namespace

LRESULT CALLBACK hook(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!g_state.active) return passOn(window, message, wParam, lParam);

  const Route* route = findRoute(message, wParam, lParam);
  if (route && !route->passedOn) return route->action(window, wParam, lParam);
  if (route) route->action(window, wParam, lParam);

  LRESULT result = passOn(window, message, wParam, lParam);
  // The taskbar forgets its icons when it is recreated (an explorer restart).
  if (g_state.active && g_state.taskbarMessage != 0 && message == g_state.taskbarMessage) {
    g_state.iconShown = 0;
    updateTrayIcon();
  }
  return result;
}
