# Sanitizer builds are chosen by name from a fixed list, so a typo cannot
# silently produce an unsanitized build.
set(WIREPEEK_SANITIZE "" CACHE STRING "Sanitizer build: empty, address,undefined or thread")
set(_wirepeek_allowed_sanitizers "" "address,undefined" "thread")
if(NOT WIREPEEK_SANITIZE IN_LIST _wirepeek_allowed_sanitizers)
  message(FATAL_ERROR "WIREPEEK_SANITIZE must be one of: '', 'address,undefined', 'thread' (got '${WIREPEEK_SANITIZE}')")
endif()
if(WIREPEEK_SANITIZE)
  add_compile_options(-fsanitize=${WIREPEEK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${WIREPEEK_SANITIZE})
endif()
