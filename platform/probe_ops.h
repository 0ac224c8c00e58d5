#pragma once
#include <cstdint>

// The operating-system services the latency monitor uses, gathered in one
// table so that tests can script replies, time-outs and pauses without a
// network or a clock. The Windows build fills it with the real calls.

// inet_addr's answer for text that is not an address (and for 255.255.255.255).
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;

// Layout of the first reply record in the reply buffer (ICMP_ECHO_REPLY):
// address, then status, then round-trip time, each 32 bits.
constexpr uint32_t kReplyStatusOffset = 4;
constexpr uint32_t kReplyRoundTripOffset = 8;
constexpr uint32_t kReplySuccess = 0;  // IP_SUCCESS

struct ProbeOps {
    // Parses IPv4 text as inet_addr does; kAddressNone when it is none.
    uint32_t (*ParseAddress)(const char* text);
    // Opens an echo handle; null on failure.
    void* (*OpenEcho)();
    // Sends one echo request and blocks until a reply or the time-out.
    // Returns the number of replies written into `reply`, 0 for none.
    uint32_t (*SendEcho)(void* echo, uint32_t address, const void* payload, uint16_t payloadSize,
                         void* reply, uint32_t replySize, uint32_t timeoutMs);
    void (*CloseEcho)(void* echo);
    void* (*AllocateBlock)(uint32_t size);
    // Pauses the calling thread for `ms`, returning early once the stop
    // signal has been raised.
    void (*Pause)(uint32_t ms);
    // Wakes every Pause in progress and makes later ones return at once.
    void (*RaiseStopSignal)();
};

extern ProbeOps Probe;
