#pragma once
// Abandon points of the Windows build: where a thread goes on after a fault
// in the code below. Every entry of the system into the window's code (its
// window procedures, timers and the capture notification) is one, so that
// a fault there is reported, that call is left, and the message loop goes on.
#include <functional>
#include <string>
#include <vector>

// Runs Fn; false when a fault left it at this point, after its report.
// Nothing between the fault and the point is unwound: what the frames held
// of the owned locks is given back, nothing else.
bool RunAbandonable(const std::function<void()>& Fn);

// Is given, on the report thread, the lines of each fault's report that the
// trace channel did not take (it was discarding text, or the faulting thread
// held it), so that the window's log can still keep them.
using TFaultReportKeeper = std::function<void(const std::vector<std::string>& Lines)>;
void SetFaultReportKeeper(TFaultReportKeeper Keeper);
