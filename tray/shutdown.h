#pragma once
#include <windows.h>

// The worker threads, null until started; tests wait on them to know that
// nothing of theirs is still running.
extern HANDLE ProbeThread;
extern HANDLE RefreshThread;

// Starts the probe and refresh threads.
void StartWorkers();

// Stops the refresh thread, then removes the icon, so that nothing can add
// it back. Safe to call more than once; only the first call acts.
void StopWorkersAndRemoveIcon();

// After the message loop: removes the icon once more if an update outlasted
// the first removal's wait, then waits for the probe thread and closes the
// echo handle it was using.
void FinishShutdown();
