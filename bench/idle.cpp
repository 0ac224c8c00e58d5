// The baseline for the benchmark: a GUI-subsystem program that owns a
// message queue, as every desktop program does, and otherwise only waits.
// It ends by itself after the number of seconds on its command line (one
// hour at most), so a forgotten run cannot linger.
//
//   idle.exe SECONDS
#include <windows.h>

#include <cwchar>

constexpr ULONGLONG kLongestRunMs = 3600ull * 1000;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    ULONGLONG runMs = static_cast<ULONGLONG>(std::wcstoul(commandLine, nullptr, 10)) * 1000;
    if (runMs == 0 || runMs > kLongestRunMs)
        runMs = kLongestRunMs;
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
    return 0;
}
