#pragma once
#include <windows.h>

// Starts the probe and refresh threads.
void StartWorkers();

// Stops the refresh thread, then removes the icon, so that nothing can add
// it back. Safe to call more than once; only the first call acts.
void StopWorkersAndRemoveIcon();

// After the message loop: waits for the probe thread, then closes the echo
// handle it was using.
void FinishShutdown();
