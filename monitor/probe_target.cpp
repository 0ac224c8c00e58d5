#include "monitor/probe_target.h"

#include "monitor/latency_status.h"
#include "platform/probe_ops.h"

ProbeTargetRecord ProbeTarget = {kAddressNone, nullptr, nullptr, 0};

// A public resolver that answers echo requests.
const char16_t kDefaultTargetText[] = u"8.8.8.8";

const char16_t* SelectTargetText(int argc, const char16_t* const* argv)
{
    if (argc >= 2 && argv != nullptr && argv[1] != nullptr)
        return argv[1];
    return kDefaultTargetText;
}

int NarrowTargetText(const char16_t* text, char* narrow)
{
    uint32_t at = 0;
    for (;;) {
        char low = static_cast<char>(text[at] & 0xFF);
        if (low == 0)
            break;
        // Truncating would probe a different host than the one asked for.
        if (at == kTargetTextCapacity - 1)
            return 1;
        narrow[at++] = low;
    }
    narrow[at] = 0;
    return 0;
}

int OpenProbeTarget(const char16_t* targetText)
{
    char narrow[kTargetTextCapacity];
    if (NarrowTargetText(targetText, narrow) != 0)
        return 1;
    // Some inet_addr versions read an empty text as 0.0.0.0.
    if (narrow[0] == 0)
        return 1;

    // inet_addr only parses here: no name lookup, no socket start-up.
    ProbeTarget.address = Probe.ParseAddress(narrow);
    if (ProbeTarget.address == kAddressNone)
        return 1;

    ProbeTarget.echo = Probe.OpenEcho();
    if (ProbeTarget.echo == nullptr)
        return 1;

    ProbeTarget.replyBufferSize = kReplyBufferSize;
    ProbeTarget.replyBuffer = Probe.AllocateBlock(kReplyBufferSize);
    if (ProbeTarget.replyBuffer == nullptr)
        return 1;

    for (uint32_t i = 0; i < kSampleCount; ++i)
        LatencySamples[i].store(kSampleNotProbed);
    return 0;
}
