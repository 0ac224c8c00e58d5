#pragma once
#include <atomic>
#include <cstdint>

// Sample values that are not round-trip times.
constexpr uint32_t kSampleNotProbed = 999;
constexpr uint32_t kSampleNoReply = 1999;

constexpr uint32_t kSampleCount = 4;

// Room for "Timeout" and its terminator.
constexpr uint32_t kStatusLabelUnits = 8;

// Written by the probe thread, read by the refresh thread: every access is
// one indivisible 32-bit load or store, and no ordering between slots is
// relied on.
extern std::atomic<uint32_t> LatencySamples[kSampleCount];

// Nonzero ends both worker loops.
extern std::atomic<uint32_t> StopFlag;

uint32_t ComputeDisplayValue(uint32_t s0, uint32_t s1, uint32_t s2, uint32_t s3);

// Writes at most 7 UTF-16 units and a terminator into `label`, which must
// hold at least kStatusLabelUnits units.
void FormatStatusLabel(uint32_t displayValue, char16_t* label);

// One of the status icons of the resource header (IDI_STATUS_*).
uint16_t SelectStatusIcon(uint32_t displayValue);
