// The monitor's operating-system services on Windows.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstddef>

#include "platform/probe_ops.h"
#include "platform/system_dlls.h"

static_assert(offsetof(ICMP_ECHO_REPLY, Status) == kReplyStatusOffset, "reply layout");
static_assert(offsetof(ICMP_ECHO_REPLY, RoundTripTime) == kReplyRoundTripOffset, "reply layout");
static_assert(INADDR_NONE == kAddressNone, "inet_addr failure value");

// Manual-reset, so that once raised every later pause returns at once.
static HANDLE StopSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);

// The echo calls, taken from the System32 copy of iphlpapi.dll when the
// first echo handle is opened. iphlpapi is not a KnownDLL, so a static
// import would load whatever iphlpapi.dll lies in the program's folder.
// Written on the main thread before any worker thread exists.
static decltype(&IcmpCreateFile) CreateEchoHandle;
static decltype(&IcmpSendEcho) SendEchoRequest;
static decltype(&IcmpCloseHandle) CloseEchoHandle;

static bool LoadEchoCalls()
{
    if (CreateEchoHandle != nullptr)
        return true;
    HMODULE icmp = LoadSystem32Library(L"iphlpapi.dll");
    // The handle opener last: once it is set, all three are there.
    return FindCall(icmp, "IcmpSendEcho", &SendEchoRequest) &&
           FindCall(icmp, "IcmpCloseHandle", &CloseEchoHandle) &&
           FindCall(icmp, "IcmpCreateFile", &CreateEchoHandle);
}

static uint32_t WinParseAddress(const char* text)
{
    return inet_addr(text);
}

static void* WinOpenEcho()
{
    if (!LoadEchoCalls())
        return nullptr;
    HANDLE echo = CreateEchoHandle();
    return echo == INVALID_HANDLE_VALUE ? nullptr : echo;
}

static uint32_t WinSendEcho(void* echo, uint32_t address, const void* payload, uint16_t payloadSize,
                            void* reply, uint32_t replySize, uint32_t timeoutMs)
{
    return SendEchoRequest(echo, address, const_cast<void*>(payload), payloadSize, nullptr, reply,
                           replySize, timeoutMs);
}

static void WinCloseEcho(void* echo)
{
    CloseEchoHandle(echo);
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
