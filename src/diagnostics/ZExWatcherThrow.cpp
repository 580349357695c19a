// The C++ runtime's throw entry points, interposed for the program's own
// code: notify first, then go on into the runtime's own. No standard headers
// here: they would bring the compiler's declaration of these entry points.
#include "diagnostics/ZExWatcherHooks.h"

#if defined(__SANITIZE_ADDRESS__)
#define WIREPEEK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WIREPEEK_ASAN 1
#endif
#endif
#ifdef WIREPEEK_ASAN
// What the sanitizer's own interposer would do: forget the poisoning of the
// frames the throw is about to unwind.
extern "C" void __asan_handle_no_return();
#endif

extern "C" [[noreturn]] void __cxa_throw(void* Object, void* Type, void (*Destructor)(void*)) {
  NotifyThrow(Object, Type, __builtin_return_address(0), false);
  const TRealThrow real = RealThrowEntry();
#ifdef WIREPEEK_ASAN
  __asan_handle_no_return();
#endif
  real(Object, Type, Destructor);
  __builtin_trap();
}

extern "C" [[noreturn]] void __cxa_rethrow() {
  NotifyThrow(nullptr, nullptr, __builtin_return_address(0), true);
  const TRealRethrow real = RealRethrowEntry();
#ifdef WIREPEEK_ASAN
  __asan_handle_no_return();
#endif
  real();
  __builtin_trap();
}
