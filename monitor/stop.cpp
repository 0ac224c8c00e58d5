#include "monitor/stop.h"

#include "monitor/latency_status.h"
#include "platform/probe_ops.h"

void RaiseStop()
{
    // The flag first: a loop woken by the signal must find it raised.
    StopFlag.store(1);
    Probe.RaiseStopSignal();
}
