#pragma once
// Looking up a function of the running program by name.
#include <dlfcn.h>

// The function Name of the program or its libraries; null when there is none.
inline void* ProgramSymbol(const char* Name) { return ::dlsym(RTLD_DEFAULT, Name); }
