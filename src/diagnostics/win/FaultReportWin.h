#pragma once
// The exception report of the Windows build: the header lines with the
// registers of the faulting thread, then one line per stack frame.
#include <windows.h>

#include <string>
#include <vector>

// The report's lines for an exception: a title, the register lines of this
// processor, the exception address, its source file and line from the link
// map, the exception code, then the frames StackWalk64 finds from Context.
std::vector<std::string> ExceptionReportLines(const EXCEPTION_RECORD& Record, const CONTEXT& Context);
// "Access violation at address … Read of address …" and the like: the
// exception in words, from its record.
std::string ExceptionMessage(const EXCEPTION_RECORD& Record);
