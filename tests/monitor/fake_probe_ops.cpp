#include "tests/monitor/fake_probe_ops.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "monitor/latency_status.h"
#include "monitor/probe_target.h"
#include "monitor/refresh_loop.h"
#include "monitor/stop.h"
#include "platform/probe_ops.h"

FakeLog Fake;
std::atomic<uint32_t> PublishedCount;
std::atomic<uint32_t> LastPublished;
static std::atomic<uint32_t> StopSignalled;
static uint8_t ReplyBuffer[128];

// inet_addr's dotted-quad rules are not under test here; only what the
// target path does around the parser is.
static uint32_t FakeParse(const char* text)
{
    std::strncpy(Fake.lastParsed, text, sizeof Fake.lastParsed - 1);
    uint32_t parts[4];
    int length = 0;
    if (std::sscanf(text, "%u.%u.%u.%u%n", &parts[0], &parts[1], &parts[2], &parts[3], &length) != 4 ||
        text[length] != 0)
        return kAddressNone;
    return parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
}

static void* FakeOpenEcho()
{
    return Fake.openEchoFails ? nullptr : &Fake;
}

static uint32_t FakeSendEcho(void*, uint32_t address, const void* payload, uint16_t payloadSize,
                             void* reply, uint32_t replySize, uint32_t timeoutMs)
{
    Fake.lastAddress = address;
    Fake.lastTimeout = timeoutMs;
    Fake.lastPayloadSize = payloadSize;
    Fake.lastReplySize = replySize;
    const uint8_t* bytes = static_cast<const uint8_t*>(payload);
    for (uint16_t i = 0; i < payloadSize; ++i)
        Fake.payloadAllZero = Fake.payloadAllZero && bytes[i] == 0;
    if (Fake.requests >= Fake.scriptLength) {
        StopFlag.store(1);
        return 0;
    }
    const ScriptedReply& next = Fake.script[Fake.requests++];
    std::memset(reply, 0xAB, replySize);
    std::memcpy(static_cast<uint8_t*>(reply) + kReplyStatusOffset, &next.status, 4);
    std::memcpy(static_cast<uint8_t*>(reply) + kReplyRoundTripOffset, &next.roundTrip, 4);
    return next.count;
}

static void FakeCloseEcho(void*) {}

static void* FakeAllocate(uint32_t size)
{
    ++Fake.allocations;
    return Fake.allocationFails || size > sizeof ReplyBuffer ? nullptr : ReplyBuffer;
}

static void FakePause(uint32_t ms)
{
    bool stopNow = false;
    {
        // Both loops pause through here when they run on threads of their own.
        static std::mutex logLock;
        std::lock_guard<std::mutex> hold(logLock);
        if (Fake.pauseCount < kFakeCapacity) {
            for (uint32_t i = 0; i < 4; ++i)
                Fake.samplesAtPause[Fake.pauseCount][i] = LatencySamples[i].load();
            Fake.publishedAtPause[Fake.pauseCount] = PublishedCount.load();
            Fake.pauses[Fake.pauseCount++] = ms;
            stopNow = Fake.pauseCount == Fake.stopAtPause;
        }
    }
    // Raised mid-pause, as Exit raises it from the window thread; the pause
    // is then cut short as a real one is.
    if (stopNow)
        RaiseStop();
    // A thousandth of the asked time: threaded tests need time to pass,
    // not to wait it out.
    if (StopSignalled.load() == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(ms));
}

static void FakeRaiseStopSignal()
{
    StopSignalled.store(1);
}

ProbeOps Probe = {FakeParse, FakeOpenEcho, FakeSendEcho, FakeCloseEcho,
                  FakeAllocate, FakePause, FakeRaiseStopSignal};

void UpdateTrayStatus(uint32_t displayValue)
{
    LastPublished.store(displayValue);
    PublishedCount.fetch_add(1);
}

void ResetFake()
{
    Fake = FakeLog{};
    Fake.payloadAllZero = true;
    StopFlag.store(0);
    StopSignalled.store(0);
    PublishedCount.store(0);
    LastPublished.store(0);
    for (auto& slot : LatencySamples)
        slot.store(0);
    ProbeTarget = ProbeTargetRecord{kAddressNone, nullptr, nullptr, 0};
}

void Script(uint32_t count, uint32_t status, uint32_t roundTrip)
{
    Fake.script[Fake.scriptLength++] = ScriptedReply{count, status, roundTrip};
}
