#include "monitor/latency_status.h"

#include "resources/resource.h"

std::atomic<uint32_t> LatencySamples[kSampleCount];
std::atomic<uint32_t> StopFlag;

static_assert(sizeof(std::atomic<uint32_t>) == 4, "slots must stay single 32-bit words");

uint32_t ComputeDisplayValue(uint32_t s0, uint32_t s1, uint32_t s2, uint32_t s3)
{
    // Dividing by three rather than four is what the thresholds are stated
    // on: four failures read 2665, so "Timeout" needs no special case.
    uint32_t sum = s0 + s1 + s2 + s3;
    return sum / 3;
}

void FormatStatusLabel(uint32_t displayValue, char16_t* label)
{
    if (displayValue >= 2000) {
        const char16_t timeout[] = u"Timeout";
        for (uint32_t i = 0; i < sizeof(timeout) / sizeof(timeout[0]); ++i)
            label[i] = timeout[i];
        return;
    }
    // Below 2000 the value has at most four digits, so "1999ms" is the
    // longest label this branch writes.
    char16_t digits[4];
    uint32_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + displayValue % 10);
        displayValue /= 10;
    } while (displayValue != 0);
    uint32_t at = 0;
    while (count != 0)
        label[at++] = digits[--count];
    label[at++] = u'm';
    label[at++] = u's';
    label[at] = 0;
}

uint16_t SelectStatusIcon(uint32_t displayValue)
{
    if (displayValue <= 100) return IDI_STATUS_5;
    if (displayValue <= 150) return IDI_STATUS_4;
    if (displayValue <= 250) return IDI_STATUS_3;
    if (displayValue <= 450) return IDI_STATUS_2;
    if (displayValue <= 650) return IDI_STATUS_1;
    if (displayValue <= 900) return IDI_STATUS_0;
    return IDI_STATUS_DOWN;
}
