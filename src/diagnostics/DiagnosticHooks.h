#pragma once
// What the entry point needs of the fault handling, on every platform.
#include <functional>
#include <string_view>

// Installs the fault and exception handlers of the process; called first
// thing by main.
void InstallDiagnosticHooks();
// Runs the work of a thread the program started, readied for faults: a
// fault in it is reported and ends the work; false then. AfterFault, when not
// empty, is a line written after the fault's report.
bool RunThreadWork(const std::function<void()>& Fn, std::string_view AfterFault = {});
