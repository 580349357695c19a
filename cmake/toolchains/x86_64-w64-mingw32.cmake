# The win64 preset: 64-bit Windows (x86_64).
set(WIREPEEK_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
