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
static bool IconRemoved;
static bool RefreshOutlivedRemoval;

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
    ProbeThread = CreateThread(nullptr, 0, ProbeThreadMain, nullptr, 0, nullptr);
    RefreshThread = CreateThread(nullptr, 0, RefreshThreadMain, nullptr, 0, nullptr);
}

void StopWorkersAndRemoveIcon()
{
    if (IconRemoved)
        return;
    IconRemoved = true;
    RaiseStop();
    if (RefreshThread != nullptr)
        RefreshOutlivedRemoval =
            WaitForSingleObject(RefreshThread, kRefreshStopWaitMs) != WAIT_OBJECT_0;
    DeleteTrayIcon();
}

void FinishShutdown()
{
    StopWorkersAndRemoveIcon();
    // An update still inside the shell at the removal puts the icon back
    // when it lands. Only then: wait for it once more and remove again (a
    // removal of no icon fails harmlessly).
    if (RefreshOutlivedRemoval) {
        WaitForSingleObject(RefreshThread, kRefreshStopWaitMs);
        DeleteTrayIcon();
    }
    // Closing the handle under a request in flight is undefined; if the
    // thread is somehow still inside one, leave the handle to the process end.
    if (ProbeThread != nullptr && WaitForSingleObject(ProbeThread, kProbeStopWaitMs) != WAIT_OBJECT_0)
        return;
    if (ProbeTarget.echo != nullptr)
        Probe.CloseEcho(ProbeTarget.echo);
}
