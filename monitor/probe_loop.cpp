#include "monitor/probe_loop.h"

#include <cstring>

#include "monitor/latency_status.h"
#include "monitor/probe_target.h"
#include "platform/probe_ops.h"

static const uint8_t EchoPayload[kEchoPayloadSize] = {};

uint32_t ProbeOnce(bool* replied)
{
    uint32_t count = Probe.SendEcho(ProbeTarget.echo, ProbeTarget.address, EchoPayload,
                                    kEchoPayloadSize, ProbeTarget.replyBuffer,
                                    ProbeTarget.replyBufferSize, kEchoTimeoutMs);
    *replied = count != 0;
    if (count == 0)
        return kSampleNoReply;

    const uint8_t* record = static_cast<const uint8_t*>(ProbeTarget.replyBuffer);
    uint32_t status;
    uint32_t roundTrip;
    std::memcpy(&status, record + kReplyStatusOffset, sizeof status);
    std::memcpy(&roundTrip, record + kReplyRoundTripOffset, sizeof roundTrip);
    // ICMP errors (unreachable, TTL expired) also come back as one reply
    // record, with a meaningless round trip; they mean the host is not
    // answering.
    if (status != kReplySuccess)
        return kSampleNoReply;
    return roundTrip;
}

uint32_t ProbeLoop()
{
    uint32_t slot = 0;
    // Looking at the flag before every request, not only once per pass,
    // keeps Exit from waiting behind up to four more requests.
    while (StopFlag.load() == 0) {
        bool replied;
        uint32_t sample = ProbeOnce(&replied);
        if (StopFlag.load() != 0)
            break;
        LatencySamples[slot].store(sample);
        slot = (slot + 1) % kSampleCount;
        Probe.Pause(replied ? kPauseAfterReplyMs : kPauseAfterFailureMs);
    }
    return 0;
}
