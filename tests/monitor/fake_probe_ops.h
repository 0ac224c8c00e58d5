#pragma once
#include <atomic>
#include <cstdint>

// Scripted stand-ins for the operating-system services: each echo request
// takes the next scripted reply; once the script is used up the fake raises
// the stop flag, so every loop under test ends by itself. The refresh loop
// sends no requests: it ends by a stop raised inside its stopAtPause-th pause.

struct ScriptedReply {
    uint32_t count;
    uint32_t status;
    uint32_t roundTrip;
};

constexpr uint32_t kFakeCapacity = 64;

struct FakeLog {
    ScriptedReply script[kFakeCapacity];
    uint32_t scriptLength;
    uint32_t requests;
    uint32_t lastAddress;
    uint32_t lastTimeout;
    uint32_t lastPayloadSize;
    uint32_t lastReplySize;
    bool payloadAllZero;
    uint32_t pauses[kFakeCapacity];
    uint32_t pauseCount;
    uint32_t samplesAtPause[kFakeCapacity][4];
    uint32_t publishedAtPause[kFakeCapacity];
    uint32_t stopAtPause;  // 0: never
    bool openEchoFails;
    bool allocationFails;
    uint32_t allocations;
    char lastParsed[300];
};

extern FakeLog Fake;
// Published display values, counted so threaded tests can see progress.
extern std::atomic<uint32_t> PublishedCount;
extern std::atomic<uint32_t> LastPublished;

// Clears the log and the shared monitor state.
void ResetFake();
void Script(uint32_t count, uint32_t status, uint32_t roundTrip);
