#pragma once
#include <cstdint>

constexpr uint32_t kEchoTimeoutMs = 1500;
constexpr uint32_t kPauseAfterReplyMs = 1000;
constexpr uint32_t kPauseAfterFailureMs = 100;
constexpr uint16_t kEchoPayloadSize = 32;

// Sends one echo request and returns the sample it yields: the round-trip
// time of a successful reply, otherwise kSampleNoReply. `replied` tells
// whether any reply record came back, which decides the pause that follows.
uint32_t ProbeOnce(bool* replied);

// Probe thread body; returns once StopFlag is raised.
uint32_t ProbeLoop();
