#pragma once
// Scheduling of the calling thread.
#include <sys/resource.h>
#include <unistd.h>

// Lets the calling thread yield the processor to the others under load.
// Needs no privilege; when it fails the thread merely competes as an equal.
inline void LowerThreadPriority() {
  constexpr int Niceness = 10;
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), Niceness);
}
