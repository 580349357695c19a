# One interface target carries the warning set for every target of the project.
add_library(wirepeek_warnings INTERFACE)
target_compile_options(wirepeek_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Wold-style-cast -Woverloaded-virtual -Wnull-dereference
  -Wimplicit-fallthrough -Wformat=2>)
# GCC takes a type in an unnamed namespace of an included source file for one
# in a header; a batch of a unity build includes every file of it.
target_compile_options(wirepeek_warnings INTERFACE
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:GNU>,$<BOOL:$<TARGET_PROPERTY:UNITY_BUILD>>>:-Wno-subobject-linkage>)
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
