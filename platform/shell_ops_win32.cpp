#include "platform/shell_ops.h"

static BOOL WinNotifyIcon(DWORD message, NOTIFYICONDATAW* data)
{
    return Shell_NotifyIconW(message, data);
}

static BOOL WinTrackMenu(HMENU menu, UINT flags, int x, int y, HWND owner)
{
    return TrackPopupMenu(menu, flags, x, y, 0, owner, nullptr);
}

static int WinShowMessage(HWND owner, const char* text, const char* caption, UINT type)
{
    return MessageBoxA(owner, text, caption, type);
}

ShellOps Shell = {WinNotifyIcon, WinTrackMenu, WinShowMessage};
