#pragma once
#include <windows.h>
#include <shellapi.h>

// The shell services whose effects reach outside the process: the
// notification area, the popup menu and the message box. Kept in one table
// so that tests can watch what the window procedure asks for without a
// modal menu or box stopping them.
struct ShellOps {
    BOOL (*NotifyIcon)(DWORD message, NOTIFYICONDATAW* data);
    BOOL (*TrackMenu)(HMENU menu, UINT flags, int x, int y, HWND owner);
    int (*ShowMessage)(HWND owner, const char* text, const char* caption, UINT type);
};

extern ShellOps Shell;
