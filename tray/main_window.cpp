#include "tray/main_window.h"

#include "resources/resource.h"
#include "tray/shutdown.h"
#include "tray/tray_icon.h"
#include "tray/tray_menu.h"

HINSTANCE Instance;
wchar_t WindowTitle[kWindowTextUnits];
wchar_t ClassName[kWindowTextUnits];
HWND MainWindow;

HWND CreateMainWindow(HINSTANCE instance)
{
    LoadStringW(instance, IDS_WINDOW_TITLE, WindowTitle, kWindowTextUnits);
    LoadStringW(instance, IDS_WINDOW_CLASS, ClassName, kWindowTextUnits);
    RegisterMainClass(instance);
    Instance = instance;

    // Never shown: it exists to own the tray icon and receive its messages.
    HWND window = CreateWindowExW(0, ClassName, WindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return nullptr;
    MainWindow = window;
    return window;
}

void RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = ClassName;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_SMALL));
    RegisterClassExW(&windowClass);
}

HACCEL LoadMainAccelerators(HINSTANCE instance)
{
    return LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDA_MAIN));
}

int RunMessageLoop(HACCEL accelerators)
{
    MSG message;
    for (;;) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(message.wParam);
        // A failed fetch would otherwise spin on the same error forever.
        if (got == -1)
            return 0;
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        // Every route to the end passes here, so the icon goes and the
        // workers stop the same way whoever destroyed the window.
        StopWorkersAndRemoveIcon();
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_TRAYCALLBACK:
        return OnTrayCallback(window, lParam);
    case WM_COMMAND:
        return OnCommand(window, message, wParam, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
