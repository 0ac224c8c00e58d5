// The monitor's operating-system services on Windows.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstddef>

#include "platform/probe_ops.h"

static_assert(offsetof(ICMP_ECHO_REPLY, Status) == kReplyStatusOffset, "reply layout");
static_assert(offsetof(ICMP_ECHO_REPLY, RoundTripTime) == kReplyRoundTripOffset, "reply layout");
static_assert(INADDR_NONE == kAddressNone, "inet_addr failure value");

// Manual-reset, so that once raised every later pause returns at once.
static HANDLE StopSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);

static uint32_t WinParseAddress(const char* text)
{
    return inet_addr(text);
}

static void* WinOpenEcho()
{
    HANDLE echo = IcmpCreateFile();
    return echo == INVALID_HANDLE_VALUE ? nullptr : echo;
}

static uint32_t WinSendEcho(void* echo, uint32_t address, const void* payload, uint16_t payloadSize,
                            void* reply, uint32_t replySize, uint32_t timeoutMs)
{
    return IcmpSendEcho(echo, address, const_cast<void*>(payload), payloadSize, nullptr, reply,
                        replySize, timeoutMs);
}

static void WinCloseEcho(void* echo)
{
    IcmpCloseHandle(echo);
}

static void* WinAllocateBlock(uint32_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size);
}

static void WinPause(uint32_t ms)
{
    if (StopSignal != nullptr)
        WaitForSingleObject(StopSignal, ms);
    else
        Sleep(ms);
}

static void WinRaiseStopSignal()
{
    if (StopSignal != nullptr)
        SetEvent(StopSignal);
}

ProbeOps Probe = {WinParseAddress, WinOpenEcho,      WinSendEcho,       WinCloseEcho,
                  WinAllocateBlock, WinPause, WinRaiseStopSignal};
