#include "tray/shutdown.h"

#include "monitor/probe_loop.h"
#include "monitor/probe_target.h"
#include "monitor/refresh_loop.h"
#include "monitor/stop.h"
#include "platform/probe_ops.h"
#include "tray/tray_icon.h"

// A pass of either loop is short; only an echo request in flight can hold
// the probe thread, and that for at most its time-out.
constexpr DWORD kRefreshStopWaitMs = 1000;
constexpr DWORD kProbeStopWaitMs = kEchoTimeoutMs + 500;

HANDLE ProbeThread;
HANDLE RefreshThread;
DWORD ProbeThreadId;
DWORD RefreshThreadId;
static bool IconRemoved;

static DWORD WINAPI ProbeThreadMain(LPVOID)
{
    return ProbeLoop();
}

static DWORD WINAPI RefreshThreadMain(LPVOID)
{
    return RefreshLoop();
}

void StartWorkers()
{
    ProbeThread = CreateThread(nullptr, 0, ProbeThreadMain, nullptr, 0, &ProbeThreadId);
    RefreshThread = CreateThread(nullptr, 0, RefreshThreadMain, nullptr, 0, &RefreshThreadId);
}

void StopWorkersAndRemoveIcon()
{
    if (IconRemoved)
        return;
    IconRemoved = true;
    RaiseStop();
    if (RefreshThread != nullptr)
        WaitForSingleObject(RefreshThread, kRefreshStopWaitMs);
    DeleteTrayIcon();
}

void FinishShutdown()
{
    StopWorkersAndRemoveIcon();
    // Closing the handle under a request in flight is undefined; if the
    // thread is somehow still inside one, leave the handle to the process end.
    if (ProbeThread != nullptr && WaitForSingleObject(ProbeThread, kProbeStopWaitMs) != WAIT_OBJECT_0)
        return;
    if (ProbeTarget.echo != nullptr)
        Probe.CloseEcho(ProbeTarget.echo);
}
