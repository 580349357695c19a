# One interface target carries the warning set for every target of the project.
add_library(wirepeek_warnings INTERFACE)
target_compile_options(wirepeek_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Wold-style-cast -Woverloaded-virtual -Wnull-dereference
  -Wimplicit-fallthrough -Wformat=2>)
if(WIN32)
  # GCC 12 sees overlapping copies in std::string appends that cannot overlap
  # when it inlines them for this target (its bug 105329).
  target_compile_options(wirepeek_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()

# For the code the exception watcher guards: a faulting instruction may
# throw, so a fault is left by an exception and the abandoned frames'
# destructors run. Only the program's own targets take it.
add_library(wirepeek_fault_unwind INTERFACE)
target_compile_options(wirepeek_fault_unwind INTERFACE -fnon-call-exceptions)
