#pragma once
#include <cstdint>

constexpr uint32_t kRefreshPeriodMs = 500;

// Publishes a display value; the tray shell provides it.
void UpdateTrayStatus(uint32_t displayValue);

// Refresh thread body; returns once StopFlag is raised.
uint32_t RefreshLoop();
