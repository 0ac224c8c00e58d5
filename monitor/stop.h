#pragma once

// Raises StopFlag and wakes both worker loops from their pauses.
void RaiseStop();
