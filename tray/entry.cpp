#include <windows.h>
#include <shellapi.h>

#include "monitor/probe_target.h"
#include "platform/system_dlls.h"
#include "tray/main_window.h"
#include "tray/shutdown.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before anything can load a DLL by name: the program's folder may be a
    // Downloads folder holding anything at all.
    RestrictDllSearchToSystem32();
    if (CreateMainWindow(instance) == nullptr)
        return 0;
    HACCEL accelerators = LoadMainAccelerators(instance);

    int argc = 0;
    // Never freed: the target text points into it for the life of the process.
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        argc = 0;
    const char16_t* target =
        SelectTargetText(argc, reinterpret_cast<const char16_t* const*>(argv));
    if (OpenProbeTarget(target) != 0)
        return 0;

    StartWorkers();
    RunMessageLoop(accelerators);
    FinishShutdown();
    return 0;
}
