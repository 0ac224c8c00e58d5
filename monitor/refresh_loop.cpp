#include "monitor/refresh_loop.h"

#include "monitor/latency_status.h"
#include "platform/probe_ops.h"

uint32_t RefreshLoop()
{
    while (StopFlag.load() == 0) {
        uint32_t value = ComputeDisplayValue(LatencySamples[0].load(), LatencySamples[1].load(),
                                             LatencySamples[2].load(), LatencySamples[3].load());
        UpdateTrayStatus(value);
        Probe.Pause(kRefreshPeriodMs);
    }
    return 0;
}
