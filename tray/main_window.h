#pragma once
#include <windows.h>

constexpr int kWindowTextUnits = 100;

extern HINSTANCE Instance;
extern wchar_t WindowTitle[kWindowTextUnits];
extern wchar_t ClassName[kWindowTextUnits];
extern HWND MainWindow;

HWND CreateMainWindow(HINSTANCE instance);
void RegisterMainClass(HINSTANCE instance);
HACCEL LoadMainAccelerators(HINSTANCE instance);
int RunMessageLoop(HACCEL accelerators);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
