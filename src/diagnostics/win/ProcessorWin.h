#pragma once
// What differs between the 32-bit and the 64-bit processor in a report:
// the register lines, where the stack walk starts, and how a faulting thread
// is sent on to its way out. One file for each, chosen by the build.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct TWalkStart {
  std::uint64_t Pc = 0;
  std::uint64_t Frame = 0;
  std::uint64_t Stack = 0;
  DWORD Machine = 0;
  int AddressDigits = 8;  // hexadecimal digits of an address
};

// "$" and Digits upper-case hexadecimal digits.
std::string Hex(std::uint64_t Value, int Digits);
// Appends the two register lines and the "ExceptAddr" line of Context.
TWalkStart RegisterLines(const CONTEXT& Context, std::vector<std::string>& Lines);
// The walk's function-table look-up for this processor.
PVOID CALLBACK FunctionTable(HANDLE Process, DWORD64 Address);
// Makes Context, when the thread resumes with it, enter Routine as if called
// a little below the faulting stack pointer: the system's dispatch has
// written below it already, so that stack is there even after an overflow.
void ResumeIn(CONTEXT& Context, void (*Routine)());
// The thread's chain of exception-registration records (i386; none on
// x86-64, whose handlers are found in tables): a jump over frames must put
// back the head they left, or the system would walk dead frames.
void* HandlerChain();
void SetHandlerChain(void* Head);
