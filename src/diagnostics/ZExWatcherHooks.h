#pragma once
// Between the interposed throw entry points and the watcher. The entry points
// live in a file of their own: a file with any throw expression in it already
// has the compiler's own declaration of them.
#include <cstdint>

using TRealThrow = void (*)(void*, void*, void (*)(void*));
using TRealRethrow = void (*)();

// The runtime's own entry points (found once, behind the interposers).
TRealThrow RealThrowEntry();
TRealRethrow RealRethrowEntry();
void ResolveRuntimeEntries();

// Tells the calling thread's watcher about a throw, or a rethrow (no object).
[[gnu::noinline]] void NotifyThrow(void* Object, const void* TypeInfo, const void* ThrowAddress, bool Rethrow);
