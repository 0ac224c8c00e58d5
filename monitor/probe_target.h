#pragma once
#include <cstdint>

// Longest target text that is parsed; the 8-bit copy has one more unit for
// the terminator.
constexpr uint32_t kTargetTextCapacity = 256;
constexpr uint32_t kReplyBufferSize = 72;

struct ProbeTargetRecord {
    uint32_t address;      // network byte order, as inet_addr gives it
    void* echo;            // null until opened
    void* replyBuffer;     // kReplyBufferSize bytes, kept until the process ends
    uint32_t replyBufferSize;
};

extern ProbeTargetRecord ProbeTarget;

// The default is used only when no argument is given.
extern const char16_t kDefaultTargetText[];

const char16_t* SelectTargetText(int argc, const char16_t* const* argv);

// Takes the low byte of each UTF-16 unit; a zero low byte ends the text.
// Returns 0 on success, 1 when the text does not fit in `narrow`
// (kTargetTextCapacity units with the terminator).
int NarrowTargetText(const char16_t* text, char* narrow);

// 0 on success, with ProbeTarget complete and every sample at 999; 1 on
// failure, with no worker allowed to start.
int OpenProbeTarget(const char16_t* targetText);
