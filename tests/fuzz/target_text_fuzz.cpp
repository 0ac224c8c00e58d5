// Fuzzes what a command-line argument and a display value go through: the
// narrowing and parsing of the target text, and the label and icon choice.
// The input's first four bytes are a display value, the rest UTF-16 text.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "monitor/latency_status.h"
#include "monitor/probe_target.h"
#include "platform/probe_ops.h"

static uint8_t ReplyBuffer[kReplyBufferSize];
static char Parsed[kTargetTextCapacity + 1];

static uint32_t ParseWithLibc(const char* text)
{
    std::strncpy(Parsed, text, sizeof Parsed - 1);
    return inet_addr(text);
}
static void* OpenEcho() { return ReplyBuffer; }
static uint32_t SendEcho(void*, uint32_t, const void*, uint16_t, void*, uint32_t, uint32_t) { return 0; }
static void CloseEcho(void*) {}
static void* Allocate(uint32_t size) { return size <= sizeof ReplyBuffer ? ReplyBuffer : nullptr; }
static void Pause(uint32_t) {}
static void RaiseStopSignal() {}

ProbeOps Probe = {ParseWithLibc, OpenEcho, SendEcho, CloseEcho, Allocate, Pause, RaiseStopSignal};

void UpdateTrayStatus(uint32_t) {}

static void CheckLabel(uint32_t value)
{
    char16_t label[kStatusLabelUnits];
    FormatStatusLabel(value, label);
    uint32_t length = 0;
    while (length < kStatusLabelUnits && label[length] != 0)
        ++length;
    if (length > 7)
        std::abort();
    if (value >= 2000) {
        if (std::memcmp(label, u"Timeout", 8 * sizeof(char16_t)) != 0)
            std::abort();
        return;
    }
    // Digits then "ms", and the digits read back as the value.
    if (length < 3 || label[length - 2] != u'm' || label[length - 1] != u's')
        std::abort();
    uint32_t readBack = 0;
    for (uint32_t i = 0; i + 2 < length; ++i) {
        if (label[i] < u'0' || label[i] > u'9' || (i == 0 && label[i] == u'0' && length > 3))
            std::abort();
        readBack = readBack * 10 + (label[i] - u'0');
    }
    if (readBack != value)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t value;
    std::memcpy(&value, data, 4);
    CheckLabel(value);
    CheckLabel(value % 2100);
    uint16_t icon = SelectStatusIcon(value);
    if (icon < 132 || (icon > 137 && icon != 141))
        std::abort();

    // The text exactly as long as the input, in a buffer of its own so that
    // any read past the terminator is caught.
    size_t units = (size - 4) / 2;
    char16_t* text = static_cast<char16_t*>(std::malloc((units + 1) * sizeof(char16_t)));
    std::memcpy(text, data + 4, units * sizeof(char16_t));
    text[units] = 0;

    size_t narrowLength = 0;
    while (narrowLength < units && (text[narrowLength] & 0xFF) != 0)
        ++narrowLength;

    Parsed[0] = 0;
    ProbeTarget = ProbeTargetRecord{kAddressNone, nullptr, nullptr, 0};
    int result = OpenProbeTarget(text);
    if (result != 0 && result != 1)
        std::abort();
    // Too long or empty is refused before any parsing; otherwise the parser
    // sees exactly the low bytes up to the first zero one.
    if (narrowLength >= kTargetTextCapacity || narrowLength == 0) {
        if (result != 1 || Parsed[0] != 0)
            std::abort();
    } else {
        for (size_t i = 0; i < narrowLength; ++i)
            if (Parsed[i] != static_cast<char>(text[i] & 0xFF))
                std::abort();
        if (Parsed[narrowLength] != 0)
            std::abort();
        if ((result == 0) != (inet_addr(Parsed) != INADDR_NONE))
            std::abort();
        if (result == 0 && (LatencySamples[0].load() != 999 || ProbeTarget.replyBufferSize != 72))
            std::abort();
    }
    std::free(text);
    return 0;
}
