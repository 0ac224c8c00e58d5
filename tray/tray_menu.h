#pragma once
#include <windows.h>

extern const char kAboutText[];
extern const char kAboutCaption[];

LRESULT OnTrayCallback(HWND window, LPARAM lParam);
LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ShowContextMenu(HWND window, POINT point);
