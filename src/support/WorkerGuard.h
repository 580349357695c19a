#pragma once
// How the threads the program starts (capture, dump formatter, endpoint
// workers) run their work: under the guard the program installs, which
// readies the thread for faults and turns a fault in the work into a report
// and a false result, so that the work ends and the program goes on.
// Without a guard (tests of the core alone) the work runs bare.
#include <functional>
#include <string_view>

// AfterFault, when not empty, is a line for the trace that follows the
// fault's report and message (wherever the report is written).
using TWorkerGuard = bool (*)(const std::function<void()>& Work, std::string_view AfterFault);
inline TWorkerGuard WorkerGuard = nullptr;

inline bool RunWorker(const std::function<void()>& Work, std::string_view AfterFault = {}) {
  if (WorkerGuard) return WorkerGuard(Work, AfterFault);
  Work();
  return true;
}
