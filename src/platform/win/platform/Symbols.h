#pragma once
// Looking up a function of the running program by name.
#include <windows.h>

#include <cstring>

// The function Name exported by the executable; null when there is none.
inline void* ProgramSymbol(const char* Name) {
  const FARPROC found = GetProcAddress(GetModuleHandleA(nullptr), Name);
  void* address = nullptr;
  std::memcpy(&address, &found, sizeof address);
  return address;
}
