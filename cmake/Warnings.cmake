# One interface target carries the warning set for every target of the project.
add_library(wirepeek_warnings INTERFACE)
target_compile_options(wirepeek_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Wold-style-cast -Woverloaded-virtual -Wnull-dereference
  -Wimplicit-fallthrough -Wformat=2)
# A faulting instruction in our own code may throw: the exception watcher
# leaves a fault by an exception, so the abandoned frames' destructors run.
target_compile_options(wirepeek_warnings INTERFACE -fnon-call-exceptions)
