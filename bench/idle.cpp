// The baseline for the benchmark: a GUI-subsystem program that owns a
// message queue, as every desktop program does, and otherwise only waits.
// It ends by itself after the number of seconds on its command line (one
// hour at most), so a forgotten run cannot linger.
//
//   idle.exe SECONDS [icon]
//
// With "icon" it also keeps a stock icon in the notification area, so that
// the area never empties while another program's icon comes and goes.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

constexpr ULONGLONG kLongestRunMs = 3600ull * 1000;

static void ShowStockIcon(NOTIFYICONDATAW* data)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"idle", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    data->cbSize = sizeof *data;
    data->hWnd = window;
    data->uID = 1;
    data->uFlags = NIF_ICON;
    data->hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    if (window != nullptr)
        Shell_NotifyIconW(NIM_ADD, data);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    wchar_t* rest = nullptr;
    ULONGLONG runMs = static_cast<ULONGLONG>(std::wcstoul(commandLine, &rest, 10)) * 1000;
    if (runMs == 0 || runMs > kLongestRunMs)
        runMs = kLongestRunMs;
    NOTIFYICONDATAW icon = {};
    if (rest != nullptr && std::wcsstr(rest, L"icon") != nullptr)
        ShowStockIcon(&icon);

    ULONGLONG end = GetTickCount64() + runMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= end)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    if (icon.hWnd != nullptr)
        Shell_NotifyIconW(NIM_DELETE, &icon);
    return 0;
}
