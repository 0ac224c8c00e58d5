#include "tray/tray_icon.h"

#include "monitor/latency_status.h"
#include "monitor/refresh_loop.h"
#include "platform/shell_ops.h"
#include "resources/resource.h"
#include "tray/main_window.h"

static_assert(sizeof(NOTIFYICONDATAW) == 976 || sizeof(void*) != 8, "full 64-bit record layout");

NOTIFYICONDATAW TrayIconData;

void AddTrayIcon()
{
    Shell.NotifyIcon(NIM_ADD, &TrayIconData);
}

void ModifyTrayIcon()
{
    Shell.NotifyIcon(NIM_MODIFY, &TrayIconData);
}

void DeleteTrayIcon()
{
    // A record of its own: the refresh thread may still be writing
    // TrayIconData, and only the window and the id matter to a delete.
    NOTIFYICONDATAW removal = {};
    removal.cbSize = sizeof removal;
    removal.hWnd = MainWindow;
    removal.uID = kTrayIconId;
    Shell.NotifyIcon(NIM_DELETE, &removal);
}

static HICON LoadStatusIcon(uint16_t id)
{
    return LoadIconW(Instance, MAKEINTRESOURCEW(id));
}

void UpdateTrayStatus(uint32_t displayValue)
{
    TrayIconData.cbSize = sizeof TrayIconData;
    TrayIconData.hWnd = MainWindow;
    TrayIconData.uID = kTrayIconId;
    TrayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIconData.uCallbackMessage = WM_TRAYCALLBACK;
    TrayIconData.uVersion = NOTIFYICON_VERSION_4;
    TrayIconData.hIcon = LoadStatusIcon(IDI_STATUS_DOWN);
    lstrcpynW(TrayIconData.szTip, L"Starting...", kTrayTipLimit);

    // Fails harmlessly while the icon exists; brings it back after the
    // notification area has lost it (a shell restart).
    AddTrayIcon();

    char16_t label[kStatusLabelUnits];
    FormatStatusLabel(displayValue, label);
    lstrcpynW(TrayIconData.szTip, reinterpret_cast<const wchar_t*>(label), kTrayTipLimit);
    TrayIconData.hIcon = LoadStatusIcon(SelectStatusIcon(displayValue));
    // The add may have been held up in the shell while Exit went ahead;
    // starting another call now could only land after the removal.
    if (StopFlag.load() != 0)
        return;
    ModifyTrayIcon();
}
