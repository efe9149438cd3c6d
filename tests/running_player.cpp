// SPDX-License-Identifier: LGPL-2.1-or-later
// A window of the player's class, so that the installer test can run setup and
// uninstall "while the player runs". Prints "ready" once the window exists and
// ends when its standard input does.
#include <windows.h>

#include <stdio.h>

namespace {

DWORD WINAPI quitAtEndOfInput(void* mainThread) {
  char buffer[64];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(mainThread)), WM_QUIT, 0, 0);
  return 0;
}

}  // namespace

int main() {
  WNDCLASSW playerClass = {};
  playerClass.lpfnWndProc = DefWindowProcW;
  playerClass.hInstance = GetModuleHandleW(nullptr);
  playerClass.lpszClassName = L"Winamp v1.x";
  if (!RegisterClassW(&playerClass)) return 1;
  HWND window = CreateWindowW(playerClass.lpszClassName, L"Winamp", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                              nullptr, nullptr, playerClass.hInstance, nullptr);
  if (!window) return 1;
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue must exist before the reader posts to it
  void* mainThread = reinterpret_cast<void*>(static_cast<UINT_PTR>(GetCurrentThreadId()));
  CloseHandle(CreateThread(nullptr, 0, quitAtEndOfInput, mainThread, 0, nullptr));
  printf("ready\n");
  fflush(stdout);
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  DestroyWindow(window);
  return 0;
}
