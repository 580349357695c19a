#pragma once
// Scheduling of the calling thread.
#include <windows.h>

// Lets the calling thread yield the processor to the others under load.
inline void LowerThreadPriority() { (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }
