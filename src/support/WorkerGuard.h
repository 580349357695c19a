#pragma once
// How the threads the program starts (capture, dump formatter, endpoint
// workers) run their work: under the guard the program installs, which
// readies the thread for faults and turns a fault in the work into a report
// and a false result, so that the work ends and the program goes on.
// Without a guard (tests of the core alone) the work runs bare.
#include <functional>

using TWorkerGuard = bool (*)(const std::function<void()>& Work);
inline TWorkerGuard WorkerGuard = nullptr;

inline bool RunWorker(const std::function<void()>& Work) {
  if (WorkerGuard) return WorkerGuard(Work);
  Work();
  return true;
}
