#pragma once
// What differs between the 32-bit and the 64-bit processor in a report:
// the register lines, and where the stack walk starts. One file for each,
// chosen by the build.
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
