#include "tray/tray_menu.h"

#include "platform/shell_ops.h"
#include "resources/resource.h"
#include "tray/main_window.h"
#include "tray/shutdown.h"

// Fixed here on purpose: it is not the version block's 0.0.7.0.
const char kAboutText[] = "Version: 0.71 build: 186";
const char kAboutCaption[] = "About";

LRESULT OnTrayCallback(HWND window, LPARAM lParam)
{
    // The press, not the release, opens the menu; nothing else is handled
    // and nothing goes on to the default procedure.
    if (lParam == WM_RBUTTONDOWN) {
        POINT point = {};
        GetCursorPos(&point);
        ShowContextMenu(window, point);
    }
    return 0;
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case ID_MENU_EXIT:
        StopWorkersAndRemoveIcon();
        DestroyWindow(window);
        return 0;
    case ID_MENU_ABOUT:
        Shell.ShowMessage(nullptr, kAboutText, kAboutCaption, MB_OK);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void ShowContextMenu(HWND window, POINT point)
{
    HMENU menu = LoadMenuW(Instance, MAKEINTRESOURCEW(IDR_TRAY_MENU));
    if (menu == nullptr)
        return;
    HMENU popup = GetSubMenu(menu, 0);
    // Without this the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    Shell.TrackMenu(popup, 0, point.x, point.y, window);
    DestroyMenu(menu);
}
