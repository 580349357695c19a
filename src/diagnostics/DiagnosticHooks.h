#pragma once
// What the entry point needs of the fault handling, on every platform.
#include <functional>

// Installs the fault and exception handlers of the process; called first
// thing by main.
void InstallDiagnosticHooks();
// Runs the work of a thread the program started, readied for faults: a
// fault in it is reported and ends the work; false then.
bool RunThreadWork(const std::function<void()>& Fn);
